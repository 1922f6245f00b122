#include "app/run_control.h"

int main(int argc, char **argv) { return svfseg::runConverter(argc, argv); }
