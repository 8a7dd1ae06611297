// ListenerIdentity.h -- "host:port": the host name and the TCP ports this process listens on, for the entries' "listener" field.
#pragma once

#include <string>

namespace ListenerIdentity {

// COM gives the event manager no way to ask the listener, but its listening sockets are in this
// process; they are looked up again every ten seconds, so a listener restarted on another port
// is seen.
std::string Get();

}  // namespace ListenerIdentity
