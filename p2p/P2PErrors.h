#pragma once

// Result codes of the peer-to-peer transport. 0 is success everywhere.
//
// The values that callers depend on are fixed: -3 (already initialised),
// -14 (invalid session), -20000 (invalid argument), -20012 (no data yet),
// -20013 (incomplete frame), -20014 (frame lost), -20015 (session closed by
// the device), -20016 (remote time-out), -20023 (no permission). The others
// are this transport's own; PROTOCOL.md lists them all.
enum P2PResult : int {
    P2P_OK = 0,

    // Session layer (IOTC_*)
    P2P_ERR_ALREADY_INITIALISED = -3,
    P2P_ERR_NOT_INITIALISED = -12,
    P2P_ERR_INVALID_SESSION = -14,
    P2P_ERR_TOO_MANY_SESSIONS = -18,
    P2P_ERR_BAD_ARGUMENT = -46,
    P2P_ERR_UID_NOT_FOUND = -90,      // no device answered the search for the UID
    P2P_ERR_CONNECT_FAILED = -91,     // the device was found but the session could not be set up
    P2P_ERR_SESSION_IN_USE = -92,     // the session id is already connected
    P2P_ERR_NETWORK = -93,            // a socket could not be created or used
    P2P_ERR_UID_NOT_HERE = -94,       // the device answered the session set-up: it does not hold that UID
    P2P_ERR_DEVICE_BUSY = -95,        // the device cannot take another session (it said so)
    P2P_ERR_HELLO_TIMEOUT = -96,      // the device took the connection but did not answer the session set-up in time
    P2P_ERR_CANCELLED = -97,          // the session was closed (or the layer stopped) while the call waited
    P2P_ERR_HOST_NOT_RESOLVED = -98,  // none of the hosts to search could be resolved in time
    P2P_ERR_NO_RESOURCES = -99,       // the system refused a thread or another resource
    P2P_ERR_IDENTITY_MISMATCH = -100, // the device showed another key than the one pinned for its UID

    // AV layer (av*)
    P2P_ERR_AV_BAD_ARGUMENT = -20000,
    P2P_ERR_BUFFER_TOO_SMALL = -20001, // the frame did not fit the caller's buffer and was dropped
    P2P_ERR_TOO_MANY_CHANNELS = -20002,
    P2P_ERR_WRONG_ACCOUNT = -20009, // the device refused the account or password
    P2P_ERR_AV_TIMEOUT = -20011,    // the device did not answer the channel start in time
    P2P_ERR_NO_DATA = -20012,
    P2P_ERR_INCOMPLETE_FRAME = -20013,
    P2P_ERR_FRAME_LOST = -20014,
    P2P_ERR_SESSION_CLOSED = -20015,
    P2P_ERR_REMOTE_TIMEOUT = -20016,
    P2P_ERR_AV_NOT_INITIALISED = -20019,
    P2P_ERR_SEND_QUEUE_FULL = -20021,
    P2P_ERR_NO_PERMISSION = -20023,
    P2P_ERR_CHANNEL_IN_USE = -20024, // the session already has an AV channel
    P2P_ERR_PROTOCOL = -20030,       // the peer sent bytes that break the protocol; the session was closed
    P2P_ERR_LOCAL_CLOSE = -20031,    // the session was closed on this side
};

// A short English name for a result code, for logs and tools.
const char* P2PResultName(int code);
