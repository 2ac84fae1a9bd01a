#include "converter/driver.hpp"
#include "converter/fatal.hpp"

int main(int argc, char** argv) {
    try {
        return sonokas::RunConverter(argc, argv);
    } catch (const sonokas::RunEnded& end) {
        return end.status;
    }
}
