#pragma once

#include <cstdint>

// Client calls of the peer-to-peer transport: a session layer (IOTC_*) that
// finds a device by its UID and holds a session to it, and an AV layer (av*)
// that opens the device's audio/video channel on a session, sends it control
// messages (IOCTRL) and receives its frames. Result codes: P2PErrors.h.
//
// Every call is safe from any thread. The receive calls never block; every
// other call that waits on the device or for data is bounded in time.

// What IOTC_Session_Check reports about a session.
struct P2PSessionInfo {
    char uid[65];      // the device's UID
    char remote[64];   // the device's address, "a.b.c.d:port" or "[v6]:port"
    int32_t state;     // 0 idle, 1 connected, 2 ended
    int32_t endReason; // why an ended session ended (a P2P_ERR_* code)
};

// Starts the session layer. port: 0 = the search port of P2PSettings.
// 0 on success, -3 when already initialised.
int IOTC_Initialize2(unsigned short port);
// Closes every session and stops the session layer.
int IOTC_DeInitialize();
// Reserves a session id (>= 0) for a connection, or a negative code.
int IOTC_Get_SessionID();
// Searches for the device that holds uid and sets up the session with it;
// with a broker set, the broker path runs beside the search and the first
// path to reach the device is kept (p2p/PROTOCOL.md). Takes at most the
// search time-out plus a few seconds. 0 or a negative code.
int IOTC_Connect_ByUID_Parallel(const char* uid, int sessionId);
// Fills info; returns 0 while connected, the end reason of an ended session,
// or -14 for an unknown or idle one.
int IOTC_Session_Check(int sessionId, P2PSessionInfo* info);
// How the session reached its device: "lan" (the search and TCP), "direct"
// (an ICE pair found through the broker) or "relay" (through the TURN
// server), into path (size bytes, terminated). 0 once a connect has reached
// the device, -14 for an unknown session or one that has not.
int IOTC_Session_Path(int sessionId, char* path, int size);
// Pins device identities in the known-devices file at path (null or empty:
// no pinning, any key is taken). Every session runs inside TLS; the first
// session to a UID writes its device's fingerprint to the file, and every
// later one must show the same key, else the connect fails with
// P2P_ERR_IDENTITY_MISMATCH before anything of the session is sent. The file
// is read anew at every connect, so an operator's edit counts at once. 0.
int IOTC_Set_Known_Devices_File(const char* path);
// The fingerprints of the last connect's handshake: what the device showed
// (seen) and what was pinned for its UID (expected; the one just pinned on a
// first session, empty without a known-devices file), each terminated within
// its size. 0, or -14 for an unknown session or one whose connect got no
// handshake done.
int IOTC_Session_Identity(int sessionId, char* seen, int seenSize, char* expected, int expectedSize);
// Ends the session (if connected) and frees its id and its AV channel.
int IOTC_Session_Close(int sessionId);

// Starts the AV layer with room for maxChannels channels. >= 0 on success.
int avInitialize(int maxChannels);
int avDeInitialize();
// Opens the AV channel of a connected session, after the device has accepted
// the account. timeoutMs bounds the wait for the device's answer (<= 0: 5000).
// serviceType, if not null, receives 0; resend, if not null, receives 0.
// Returns the channel index (>= 0) or a negative code.
int avClientStart2(int sessionId, const char* account, const char* password, int timeoutMs, uint32_t* serviceType,
                   uint8_t channel, int* resend);
// Queues a control message for the device: 0 when queued for sending.
// Payload at most 65536 bytes; data may be null when length is 0.
int avSendIOCtrl(int avIndex, unsigned int type, const char* data, int length);
// Takes the next video frame: its size (>= 0) or a negative code, at once.
// A frame larger than bufSize is dropped: -20001, with *expectedSize set.
int avRecvFrameData2(int avIndex, char* buf, int bufSize, int* actualSize, int* expectedSize, char* info, int infoSize,
                     int* infoActual, unsigned int* frameIndex);
// Takes the next audio frame, like avRecvFrameData2.
int avRecvAudioData(int avIndex, char* buf, int bufSize, char* info, int infoSize, unsigned int* frameIndex);
// Wait at most timeoutMs until the next take of a video (audio) frame would
// answer anything but -20012: a frame has come, was lost, or the session or
// channel has ended. 0 then, -20012 when the time ran out, or a negative code
// for an unknown channel. Lets a receive loop sleep until data arrives.
int avWaitFrameData(int avIndex, int timeoutMs);
int avWaitAudioData(int avIndex, int timeoutMs);
// Closes the channel: tells the device and waits for its acknowledgement, at
// most 10 s, less when the session ends or the AV layer stops meanwhile.
// An index that is no longer open is ignored.
void avClientStop(int avIndex);
