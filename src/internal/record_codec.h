// The recorded records: the packets of the link as the LCM types of
// lcmtypes/, on the channels of a recording. Decoding a packet and encoding
// the record again gives the packet back byte for byte.
#pragma once

#include <kalvent_log/high_cmd.hpp>
#include <kalvent_log/high_state.hpp>
#include <kalvent_log/link_health.hpp>
#include <kalvent_log/low_cmd.hpp>
#include <kalvent_log/low_state.hpp>

#include "kalvent_legged_sdk/comm.h"

#pragma GCC visibility push(hidden)

namespace KALVENT_LEGGED_SDK {

// Channels of a recording; the bridge's channels are other names.
inline const char kRecordedLowCmd[] = "KALVENT_LOW_CMD";
inline const char kRecordedLowState[] = "KALVENT_LOW_STATE";
inline const char kRecordedHighCmd[] = "KALVENT_HIGH_CMD";
inline const char kRecordedHighState[] = "KALVENT_HIGH_STATE";
inline const char kRecordedLinkHealth[] = "KALVENT_LINK_HEALTH";

// `packet` holds a whole packet of the record's level (LOW_CMD_LENGTH,
// LOW_STATE_LENGTH, HIGH_CMD_LENGTH or HIGH_STATE_LENGTH bytes).
void decodePacket(const char* packet, kalvent_log::low_cmd& record);
void decodePacket(const char* packet, kalvent_log::low_state& record);
void decodePacket(const char* packet, kalvent_log::high_cmd& record);
void decodePacket(const char* packet, kalvent_log::high_state& record);

// The bridge's low-level records (comm.h's LowCmd and LowState, as the LCM
// bridge carries them) as recorded records. Torques and gains keep the
// values the record holds, before any wire rounding.
void decodeRecord(const LowCmd& in, kalvent_log::low_cmd& record);
void decodeRecord(const LowState& in, kalvent_log::low_state& record);

// The packet a state record was decoded from, into `packet` of the level's
// state length.
void encodePacket(const kalvent_log::low_state& record, char* packet);
void encodePacket(const kalvent_log::high_state& record, char* packet);

}  // namespace KALVENT_LEGGED_SDK

#pragma GCC visibility pop
