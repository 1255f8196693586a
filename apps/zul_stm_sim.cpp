// zul_stm_sim: the program on the simulated shield.
#include "sim/session.h"

int main(int argc, char** argv) { return sim::simulator_main(argc, argv); }
