// A check of the C stack left to the calling thread, for the entries that
// call back into Python code (json.loads may call py_get_constant again,
// and so on without end). Deep enough, such re-entry would overflow the
// thread's stack, a crash; before it does, the entry raises RecursionError
// as the interpreter does for its own deep recursion. Threads with small
// stacks (musl's are 128 KiB by default) reach that point first.
#pragma once

namespace korvex::py {

// Throws RecursionError when less stack is left below the caller than one
// call of the module and its return to Python need. Stacks the platform
// cannot describe, and stacks the thread has switched away from its own,
// are not checked.
void check_stack_left();

}  // namespace korvex::py
