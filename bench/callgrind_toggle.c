/* Callgrind client requests for bench/callgrind_ops.py (through ctypes): collect only while a
 * measured loop runs. Outside valgrind the requests do nothing.
 * Build: gcc -O2 -shared -fPIC callgrind_toggle.c -o callgrind_toggle.so */
#include <valgrind/callgrind.h>

void cg_start(void) { CALLGRIND_TOGGLE_COLLECT; }
void cg_stop(void) { CALLGRIND_TOGGLE_COLLECT; }
