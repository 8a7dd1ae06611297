// FallbackFolder.h -- keeping an entry Redis did not take in the fallback folder, with its id, and reading it back.
#pragma once

#include <string>

#include "SpoolFolder.h"
#include "StreamEntry.h"

// A fallback file is one line "KVEvRedis-entry id=<id> received=<UTC> listener=<host:ports>"
// and then the body's bytes exactly, stored by SpoolFolder (durable, in arrival order, finished
// after a crash). The id travels with the body, so that an entry whose first attempt may have
// reached the stream is recognised there when it is replayed. Files of earlier versions (the
// body alone) get an id derived from the folder, the file's name and its bytes: the same on every
// replay of the same file.
namespace FallbackFolder {

bool Keep(const StreamEntry& entry, const std::string& folder, std::string* name);
StreamEntry Read(const SpoolFolder::StoredMessage& stored, const std::string& folder, const std::string& listener);

}  // namespace FallbackFolder
