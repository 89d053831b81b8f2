// One owner of the link: an operation that talks to the terminal claims the
// link for its whole run; another user is refused at once.  A payment lets go
// of the link before its completion callback runs, so the callback (or any
// other thread) can start the next operation.
#pragma once
#include "VarkoClass2017/VarkoClass2017.h"

class LinkClaim {
public:
    explicit LinkClaim(CVarkoClass2017& ecr) : m_ecr(ecr), m_ticket(ecr.ClaimLink()) {}
    ~LinkClaim()
    {
        if (m_ticket != 0)
            m_ecr.ReleaseLink(m_ticket);
    }
    LinkClaim(const LinkClaim&) = delete;
    LinkClaim& operator=(const LinkClaim&) = delete;
    explicit operator bool() const { return m_ticket != 0; }

private:
    CVarkoClass2017& m_ecr;
    unsigned long m_ticket;
};
