#include "converter/signal/calibration.hpp"

namespace sonokas::signal {

std::int32_t CalibrateNextRecord(std::int32_t) { return -1; }
int AlternativeCount() { return 0; }
void ApplyAlternative(int) {}
void RestoreCalibration() {}

}  // namespace sonokas::signal
