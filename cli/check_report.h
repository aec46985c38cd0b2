#pragma once

// What mitu-check's checks found (checks/reports.h), under the names its
// subcommands use.

#include "checks/reports.h"

namespace check {

using checks::BandwidthReport;
using checks::ConnectionReport;
using checks::EchoRequestReport;
using checks::LevelReport;
using checks::MicrophoneReport;
using checks::Report;
using checks::SpeakerReport;
using checks::StepError;
using checks::TransferReport;
using checks::VoiceReport;

} // namespace check
