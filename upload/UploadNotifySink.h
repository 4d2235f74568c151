#pragma once

#include "upload/UploadJob.h"

// Where a worker delivers its notices (the batch upload dialog). No toolkit in
// it, so the workers build and test without one.
class UploadNotifySink {
public:
    virtual ~UploadNotifySink() = default;

    // Queues the notice and returns at once.
    virtual void PostNotify(uintptr_t wParam, UploadJob* job) = 0;

    // Delivers the notice and returns once it has been handled, or at once
    // when the receiver is closing (the job then stays with the receiver, which
    // releases it). The worker must not touch the job after this call.
    virtual void SendNotify(uintptr_t wParam, UploadJob* job) = 0;

    // Queues a progress notice (row, kind, done, total by value).
    virtual void PostProgress(const UploadProgress& progress) = 0;
};
