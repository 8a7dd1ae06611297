// FallbackReplay.h -- a thread that adds the fallback folder's files to the stream, oldest first, as soon as Redis answers.
#pragma once

namespace FallbackReplay {

// Starts the thread unless it runs already; a running thread goes round once more. It ends when
// the folder is empty, and tries again every timeoutMs (at least 200 ms) while Redis does not
// take its files. It keeps the module loaded while it runs.
void Schedule();
// At the module's first object: what an earlier process left in the folder (interrupted files
// included) goes in without waiting for the next event, and the connection is tried at once.
void StartAtLoad();
unsigned long long Replayed();

}  // namespace FallbackReplay
