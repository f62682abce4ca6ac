// For tests only: a moment inside the rewrite that a test can use.
#ifndef BIBO_REWRITE_HOOK_H
#define BIBO_REWRITE_HOOK_H

#include <functional>

// Runs just before the rewrite's last look at the file, where a test puts
// another program's save; an empty one does nothing.
void setBeforeReplacing(std::function<void()> hook);

#endif // BIBO_REWRITE_HOOK_H
