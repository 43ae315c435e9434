#include <iostream>

#include "cli/orvane_cli.h"

int main(int argc, char** argv) { return orvane::cli::RunOrvane(argc, argv, std::cout, std::cerr); }
