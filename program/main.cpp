#include "program/command_line.h"
#include "service/serve.h"

int main(int argc, char** argv) { return run_tolvaner(argc, argv, built_in_serve_fronts()); }
