// Joint limits of the Tesmar robot model, in radians. The hip limits are
// those of the left legs; the right legs' hip range is mirrored.
#pragma once

namespace KALVENT_LEGGED_SDK {

const double tesmar_Hip_max = 1.047;
const double tesmar_Hip_min = -0.873;
const double tesmar_Thigh_max = 3.927;
const double tesmar_Thigh_min = -0.524;
const double tesmar_Calf_max = -0.611;
const double tesmar_Calf_min = -2.775;

}  // namespace KALVENT_LEGGED_SDK
