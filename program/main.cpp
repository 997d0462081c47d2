#include "program/command_line.h"

int main(int argc, char** argv) { return run_tolvaner(argc, argv); }
