#include "lister/lister.hpp"

int main(int argc, char** argv) { return kasdir::RunLister(argc, argv); }
