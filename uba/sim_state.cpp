// The simulator method's state. It lives in the core library so that
// uba_ioremap and uba_get_copy_block can consult it in every program; only
// the method itself, linked into the tools, makes it active.

#include "uba.h"

uba_sim_t uba_sim;
