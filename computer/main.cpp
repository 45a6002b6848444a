#include "computer/request/entry.h"

int main(int argc, char** argv) { larkspire::computer::ComputerHelper::main(argc, argv); }
