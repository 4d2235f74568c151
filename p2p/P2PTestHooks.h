#pragma once

// Seams and probes of the transport for tests and tools. Production code
// never calls these.
namespace p2p::test {

// The next `times` calls of IOTC_Initialize2 answer `result` and do nothing.
void ForceInitializeResult(int result, int times);
// Counts of successful IOTC_Initialize2 / IOTC_DeInitialize calls.
int InitializeCount();
int DeInitializeCount();
bool IsInitialised();
// Sessions with a reserved id, and open AV channels.
int SessionCount();
int ChannelCount();
// Frames received on a channel and not yet taken; -1 for an unknown channel.
int PendingVideoFrames(int avIndex);
int PendingAudioFrames(int avIndex);
// Video frames that have come in on a channel since it opened; -1 for an unknown channel.
long long ArrivedVideoFrames(int avIndex);
// The next `times` thread starts of the transport fail as if the system had
// no thread left to give.
void FailThreadStarts(int times);
// Every name resolution takes `ms` longer (0: no delay).
void DelayResolution(int ms);
// Sessions set up from now on, on both sides of this process, run without
// TLS (for the benchmark's comparison only; nothing is pinned then).
void DisableTls(bool disabled);
bool TlsDisabled();

} // namespace p2p::test
