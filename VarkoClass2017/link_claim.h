// One owner of the link: an operation that talks to the terminal claims the
// link for its whole run; another user is refused at once.  The owner's own
// thread may claim again once the payment has stopped reading (from its
// completion callback).
#pragma once
#include "VarkoClass2017/VarkoClass2017.h"

class LinkClaim {
public:
    explicit LinkClaim(CVarkoClass2017& ecr) : m_ecr(ecr), m_owned(ecr.ClaimLink()) {}
    ~LinkClaim()
    {
        if (m_owned)
            m_ecr.ReleaseLink();
    }
    LinkClaim(const LinkClaim&) = delete;
    LinkClaim& operator=(const LinkClaim&) = delete;
    explicit operator bool() const { return m_owned; }

private:
    CVarkoClass2017& m_ecr;
    bool m_owned;
};
