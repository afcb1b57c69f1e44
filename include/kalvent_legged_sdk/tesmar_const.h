/// @file
/// Joint limits of the Tesmar robot model, in radians. The hip limits are
/// those of the left legs; the right legs' hip range is mirrored.
#pragma once

namespace KALVENT_LEGGED_SDK {

/// Largest hip angle, rad.
const double tesmar_Hip_max = 1.047;
/// Smallest hip angle, rad.
const double tesmar_Hip_min = -0.873;
/// Largest thigh angle, rad.
const double tesmar_Thigh_max = 3.927;
/// Smallest thigh angle, rad.
const double tesmar_Thigh_min = -0.524;
/// Largest calf angle, rad.
const double tesmar_Calf_max = -0.611;
/// Smallest calf angle, rad.
const double tesmar_Calf_min = -2.775;

}  // namespace KALVENT_LEGGED_SDK
