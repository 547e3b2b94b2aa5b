// A check of the C stack left to the calling thread, for the entries that
// may be re-entered from Python code without end (json.loads calling
// py_get_constant again): RecursionError rather than a stack overflow.
#pragma once

namespace korvex::py {

// Throws RecursionError when less stack is left below the caller than one
// call of the module and its return to Python need. Stacks the platform
// cannot describe, and stacks the thread has switched away from its own,
// are not checked.
void check_stack_left();

}  // namespace korvex::py
