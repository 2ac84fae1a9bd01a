#include "converter/driver.hpp"

int main(int argc, char** argv) { return sonokas::RunConverter(argc, argv); }
