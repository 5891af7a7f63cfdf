#include "process_host.h"

namespace quorvel {

ProcessHost& ProcessHost::self()
{
    // Never destroyed: serving threads and static destructors may still use it at exit.
    static ProcessHost* instance = new ProcessHost();
    return *instance;
}

void ProcessHost::watchConnection(const sp<Connection>& connection)
{
    std::lock_guard<std::mutex> lock(mLock);
    mWatched = connection;
}

status_t ProcessHost::serve()
{
    int listenFd;
    sp<Connection> watched;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mServing)
            return BAD_VALUE;
        const status_t status = mHost.endpoint.listeningFd(&listenFd);
        if (status != OK)
            return status;
        mServing = true;
        watched = mWatched;
    }
    const int wake = mStop.wakeFd();
    status_t status = wake < 0 ? wake : OK;
    // Only a hang-up matters on the registration connection; its replies are read by
    // whoever transacts on it.
    if (status == OK && watched && watched->isDead())
        status = DEAD_OBJECT;
    if (status == OK)
        status = mServer.run(listenFd, wake, watched ? watched->fd() : -1, mStop.flag());

    // Stopping ends the connections too (not under mLock: it waits for their threads),
    // and a socket file goes with its server. A stop wins over whatever else ended
    // the loop: a signal that lands as the manager's connection drops must still read
    // as a stop, or the caller would take it for a restart and serve on.
    const bool stopping = mStop.requested();
    if (stopping) {
        mServer.closeAll();
        status = OK;
    }
    std::lock_guard<std::mutex> lock(mLock);
    if (stopping) {
        mHost.endpoint.closeFile();
        mStop.clear();
    }
    mServing = false;
    return status;
}

} // namespace quorvel
