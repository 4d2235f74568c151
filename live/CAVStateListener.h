#pragma once

class LiveThread;

// What a pane thread reports about each request: the main window implements
// it. Calls arrive on the pane's own thread, except the immediate refusals of
// StartTalk / StartRecord, which arrive on the caller's thread while the
// "LiveStatus" lock is held: an implementation must accept both and must not
// block a pane thread on the UI thread. The return value is not read.
class CAVStateListener {
public:
    virtual ~CAVStateListener() = default;

    virtual int OnLiveStarted(LiveThread* thread) = 0;
    virtual int OnLiveFailed(LiveThread* thread) = 0;
    virtual int OnLiveStopped(LiveThread* thread) = 0;
    virtual int OnTalkStarted(LiveThread* thread) = 0;
    virtual int OnTalkFailed(LiveThread* thread) = 0;
    virtual int OnTalkStopped(LiveThread* thread) = 0;
    virtual int OnRecordStarted(LiveThread* thread) = 0;
    virtual int OnRecordFailed(LiveThread* thread) = 0;
    virtual int OnRecordStopped(LiveThread* thread) = 0;
    // The device of a live pane dropped out (its session closed, or no
    // picture came for a while). The pane has stopped its pipeline and
    // talk-back, and reconnects by itself; live view reports OnLiveStarted
    // again when the device is back, and a recording that was running resumes
    // in a new file (OnRecordStarted). Live state stays PANE_RUNNING meanwhile,
    // so a stop request ends the reconnecting.
    virtual int OnLiveReconnecting(LiveThread* thread) = 0;
};
