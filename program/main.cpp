#include "program/command_line.h"
#include "service/serve.h"

int main(int argc, char** argv) {
    static FrameLink link;
    static WireTrace trace;
    return run_tolvaner(argc, argv,
                        Surroundings{stdin, "/", &link, &trace, built_in_serve_fronts()});
}
