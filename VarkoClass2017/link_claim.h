// A claim of the terminal link for the scope of one operation: refused at
// once (false) while another operation holds the link.  A payment lets go of
// the link before its completion callback runs, so the callback (or any
// other thread) can start the next operation.
#pragma once
#include "VarkoClass2017/VarkoClass2017.h"

class LinkClaim {
public:
    explicit LinkClaim(CVarkoClass2017& ecr) : m_ecr(ecr), m_held(ecr.ClaimLink()) {}
    ~LinkClaim()
    {
        if (m_held)
            m_ecr.ReleaseLink();
    }
    LinkClaim(const LinkClaim&) = delete;
    LinkClaim& operator=(const LinkClaim&) = delete;
    explicit operator bool() const { return m_held; }

private:
    CVarkoClass2017& m_ecr;
    bool m_held;
};

// The service members' common start: the link claimed and the handle taken.
// body(handle) runs on the claimed link; E_FAIL while another operation has
// the link or without a connection.
template <class Body>
HRESULT on_link(CVarkoClass2017& ecr, Body body)
{
    LinkClaim claim(ecr);
    if (!claim)
        return E_FAIL;
    PosHandle* handle = ecr.m_Transport.GetHandle();
    if (handle == nullptr)
        return E_FAIL;
    return body(handle);
}
