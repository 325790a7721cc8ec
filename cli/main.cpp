#include "cli/driver.h"

int main(int argc, char** argv) { return finish_output(kiv_main(argc, argv)); }
