// zul_stm_driver: the program on a Raspberry Pi, linked with libbcm2835 and
// the kernel backend; board/bcm2835_seam.cpp picks one at start-up.
#include "core/main.h"

int main(int argc, char** argv) { return zul_main(argc, argv); }
