#include "p2p/P2PErrors.h"

const char* P2PResultName(int code) {
    switch (code) {
    case P2P_OK:
        return "ok";
    case P2P_ERR_ALREADY_INITIALISED:
        return "already initialised";
    case P2P_ERR_NOT_INITIALISED:
        return "not initialised";
    case P2P_ERR_INVALID_SESSION:
        return "invalid session";
    case P2P_ERR_TOO_MANY_SESSIONS:
        return "too many sessions";
    case P2P_ERR_BAD_ARGUMENT:
    case P2P_ERR_AV_BAD_ARGUMENT:
        return "invalid argument";
    case P2P_ERR_UID_NOT_FOUND:
        return "no device holds the UID";
    case P2P_ERR_CONNECT_FAILED:
        return "connection failed";
    case P2P_ERR_SESSION_IN_USE:
        return "session already connected";
    case P2P_ERR_NETWORK:
        return "network error";
    case P2P_ERR_UID_NOT_HERE:
        return "device does not hold the UID";
    case P2P_ERR_DEVICE_BUSY:
        return "device busy";
    case P2P_ERR_HELLO_TIMEOUT:
        return "no answer to the session set-up";
    case P2P_ERR_CANCELLED:
        return "cancelled";
    case P2P_ERR_HOST_NOT_RESOLVED:
        return "no search host could be resolved";
    case P2P_ERR_NO_RESOURCES:
        return "out of system resources";
    case P2P_ERR_IDENTITY_MISMATCH:
        return "the device's identity changed";
    case P2P_ERR_BUFFER_TOO_SMALL:
        return "frame larger than the buffer";
    case P2P_ERR_TOO_MANY_CHANNELS:
        return "too many channels";
    case P2P_ERR_WRONG_ACCOUNT:
        return "wrong account or password";
    case P2P_ERR_AV_TIMEOUT:
        return "time-out";
    case P2P_ERR_NO_DATA:
        return "no data ready";
    case P2P_ERR_INCOMPLETE_FRAME:
        return "incomplete frame";
    case P2P_ERR_FRAME_LOST:
        return "frame lost";
    case P2P_ERR_SESSION_CLOSED:
        return "session closed by the device";
    case P2P_ERR_REMOTE_TIMEOUT:
        return "remote time-out";
    case P2P_ERR_AV_NOT_INITIALISED:
        return "AV layer not initialised";
    case P2P_ERR_SEND_QUEUE_FULL:
        return "send queue full";
    case P2P_ERR_NO_PERMISSION:
        return "no permission";
    case P2P_ERR_CHANNEL_IN_USE:
        return "channel in use";
    case P2P_ERR_PROTOCOL:
        return "protocol error";
    case P2P_ERR_LOCAL_CLOSE:
        return "closed locally";
    default:
        return "unknown error";
    }
}
