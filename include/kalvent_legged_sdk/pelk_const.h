/// @file
/// Joint limits of the Pelk robot model, in radians. The hip limits are
/// those of the left legs; the right legs' hip range is mirrored.
#pragma once

namespace KALVENT_LEGGED_SDK {

/// Largest hip angle, rad.
const double pelk_Hip_max = 0.802;
/// Smallest hip angle, rad.
const double pelk_Hip_min = -0.802;
/// Largest thigh angle, rad.
const double pelk_Thigh_max = 4.19;
/// Smallest thigh angle, rad.
const double pelk_Thigh_min = -1.05;
/// Largest calf angle, rad.
const double pelk_Calf_max = -0.916;
/// Smallest calf angle, rad.
const double pelk_Calf_min = -2.7;

}  // namespace KALVENT_LEGGED_SDK
