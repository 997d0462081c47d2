#include "program/command_line.h"

int main(int argc, char** argv) {
    static FrameLink link;
    static WireTrace trace;
    return run_tolvaner(argc, argv, Surroundings{stdin, "/", &link, &trace});
}
