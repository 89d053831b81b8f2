// The link's owner and the stop-and-wait of PosClose and destroy_object.
#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"

unsigned long CVarkoClass2017::ClaimLink()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    const std::thread::id me = std::this_thread::get_id();
    if (m_LinkDepth == 0) {
        if (m_Closing.load())
            return 0;
        m_LinkOwner = me;
        if (++m_LinkTicket == 0)
            m_LinkTicket = 1;
    } else if (m_LinkOwner != me || m_LinkReading) {
        LOGREC(LOG_ERROR) << " the link is busy with another operation, refused";
        return 0;
    }
    ++m_LinkDepth;
    m_LinkReading = true;
    return m_LinkTicket;
}

void CVarkoClass2017::ReleaseLink(unsigned long ticket)
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    // Released already (the payment let go before its callback) and perhaps
    // claimed anew since: not this claim's to end.
    if (m_LinkDepth == 0 || ticket != m_LinkTicket || m_LinkOwner != std::this_thread::get_id())
        return;
    if (--m_LinkDepth > 0)
        return;
    m_LinkReading = false;
    m_LinkOwner = std::thread::id();
    m_LinkFree.notify_all();
}

void CVarkoClass2017::LinkDoneReading()
{
    std::lock_guard<std::mutex> lock(m_LinkLock);
    if (m_LinkOwner != std::this_thread::get_id())
        return;
    m_LinkReading = false;
    m_LinkDepth = 0;
    m_LinkOwner = std::thread::id();
    m_LinkFree.notify_all();
}

bool CVarkoClass2017::StopAndWaitForLink()
{
    std::unique_lock<std::mutex> lock(m_LinkLock);
    if (m_LinkDepth == 0)
        return true;
    if (m_LinkOwner == std::this_thread::get_id())
        return !m_LinkReading;
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
