// The link's owner and the stop-and-wait of PosClose and destroy_object.
#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"

bool CVarkoClass2017::ClaimLink()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    const std::thread::id me = std::this_thread::get_id();
    if (m_LinkDepth == 0) {
        if (m_Closing.load())
            return false;
        m_LinkOwner = me;
    } else if (m_LinkOwner != me || m_LinkReading) {
        LOGREC(LOG_ERROR) << " the link is busy with another operation, refused";
        return false;
    }
    ++m_LinkDepth;
    m_LinkReading = true;
    return true;
}

void CVarkoClass2017::ReleaseLink()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    if (--m_LinkDepth > 0) {
        m_LinkReading = false;  // back in the callback of the outer payment
        return;
    }
    m_LinkReading = false;
    m_LinkOwner = std::thread::id();
    m_LinkFree.notify_all();
}

void CVarkoClass2017::LinkDoneReading()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    m_LinkReading = false;
}

bool CVarkoClass2017::StopAndWaitForLink()
{
    std::unique_lock<std::mutex> lock(m_LinkLock);
    if (m_LinkDepth == 0)
        return true;
    if (m_LinkOwner == std::this_thread::get_id())
        return !m_LinkReading;  // the completion callback: the payment is over
    lock.unlock();
    CancelPurch();
    lock.lock();
    m_LinkFree.wait(lock, [this] { return m_LinkDepth == 0; });
    return true;
}

bool CVarkoClass2017::InsideOwnOperation()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    return m_LinkDepth != 0 && m_LinkOwner == std::this_thread::get_id();
}
