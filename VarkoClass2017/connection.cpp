// Connection members of the ECR object: open and close the terminal link.
#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/link_claim.h"
#include "VarkoClass2017/operation_record.h"

// The terminal the link reaches, as the operation record names it.
std::string CVarkoClass2017::link_name()
{
    if (m_Transport.GetType() == TT_COM)
        return "serial " + m_UnixTTY;
    return std::string(m_Transport.GetType() == TT_TCP ? "tcp " : "udp ") + m_Transport.GetRemoteIP() + ":" +
           std::to_string(m_Transport.GetRemotePort());
}

HRESULT CVarkoClass2017::PosOpen(int port, unsigned long* pVal)
{
    // Re-opening under a running payment would pull its link away.
    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;
    m_Transport.SetComPort(port);
    m_Transport.SetComPortName(m_UnixTTY);
    if (m_Transport.Open()) {
        LOGREC(LOG_TRACE) << " Successful connection!";
        OperationRecord::SetLink(link_name());
        // Nothing is sent for it here: the application resolves it when it asks.
        OperationEntry left;
        if (OperationRecord::Load(&left))
            LOGREC(LOG_INFO) << " operation record left behind[" << left.op << "] ecrb_recover resolves it";
        if (pVal != nullptr) {
            LOGREC(LOG_TRACE) << " pVal != NULL";
            *pVal = 0;
        }
        return 0;
    }
    LOGREC(LOG_ERROR) << " Fail connection!";
    if (pVal != nullptr) {
        LOGREC(LOG_TRACE) << " pVal != NULL";
        *pVal = 1;
    }
    return 1;
}

HRESULT CVarkoClass2017::PosClose()
{
    // A running payment is stopped and waited for: it still uses the handle.
    // From inside the payment (its message callback) nothing can be waited.
    if (!StopAndWaitForLink()) {
        LOGREC(LOG_ERROR) << " a payment of this thread still reads, return E_FAIL";
        return E_FAIL;
    }
    // Closing is an operation on the link like any other; the controls that
    // raise the handle's flag from other threads do so under m_LinkLock.
    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;
    std::lock_guard<std::mutex> lock(m_LinkLock);
    m_Transport.Close();
    return 0;
}

HRESULT CVarkoClass2017::CommOpenTCP(char* address, short port)
{
    put_PosIP(address);
    put_PosPort(static_cast<unsigned short>(port));
    put_TransportType(2);
    return PosOpen(0, nullptr);
}

HRESULT CVarkoClass2017::CommClose()
{
    return PosClose();
}
