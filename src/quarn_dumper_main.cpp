#include "quarn_dumper.h"

int main(int argc, char** argv) { return quarn::quarn_main(argc, argv); }
