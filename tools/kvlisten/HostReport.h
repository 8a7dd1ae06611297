// HostReport.h -- what the host says about the running listener: the event manager it delivers to, and its summary line.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace HostReport {

// One line of the host's: which class "KVLUMEN.EventManagerEx" names, from which module, and
// whether one of its objects says it is ready (a warning when none can be made).
void SayEventManager();

// The listener's own summary (counts and connections), or empty when it gives none.
std::string Summary(IUnknown* listener);

}  // namespace HostReport
