#include "tools/chairctl/cli.h"

int main(int argc, char** argv) { return chairctl::run(argc, argv); }
