#include "platform/ThreadName.h"

#include <pthread.h>

void NameThisThread(const char* name) {
    char shortName[16] = {};
    for (int i = 0; i < 15 && name[i] != '\0'; ++i)
        shortName[i] = name[i];
    pthread_setname_np(pthread_self(), shortName);
}
