// The keeper: a small process forked at start that outlives us only to end
// our helpers. We tell it each helper's process group; when its pipe from us
// closes - because we ended, however we ended, SIGKILL included - it kills
// every group still registered and exits. This is what keeps helpers from
// becoming orphans where the kernel offers no parent-death signal (macOS);
// on Linux the helpers also get PR_SET_PDEATHSIG.
#pragma once

namespace larkspire::mcp {

// Forks the keeper. Call before starting any child or thread. False when it
// could not be started (the server then runs without it).
bool startKeeper();
// Closes the pipe and reaps the keeper (after every helper has ended).
void stopKeeper();

}  // namespace larkspire::mcp
