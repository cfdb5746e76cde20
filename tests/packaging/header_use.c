/* Compiled as C and as C++, by MinGW GCC and by clang for both Windows ABIs,
 * with every warning an error: the declaration and the pointer type agree. */
#include <ruxtrap.h>

static InitRuxtrapFn chosenInit = &InitRuxtrap;

InitRuxtrapFn ChosenInit(void);
InitRuxtrapFn ChosenInit(void) { return chosenInit; }
