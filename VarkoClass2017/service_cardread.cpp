// Service operations that read a card or a PIN, prepare a two-step payment
// (discount and card-group requests) or identify a card, and the accessors
// of the discount information.
//
// Each member calls one exchange on the caller's thread, keeps the answer in
// an ECR object record and hands the caller a value or a pointer into that
// record (valid until the record is next written; never to be freed).  No
// completion callback runs, except for the card identification, which is a
// payment-style transaction.
#include <cstring>

#include "Logging/log.h"
#include "VarkoClass2017/VarkoClass2017.h"
#include "VarkoClass2017/caller_text.h"
#include "VarkoClass2017/link_claim.h"
#include "VarkoClass2017/exchange_into.h"
#include "protocol/card_group.h"
#include "protocol/card_read.h"
#include "protocol/discount.h"

namespace {

// Card read kinds of pos_magnetic_read.
constexpr unsigned char kReadPlain = 0;
constexpr unsigned char kReadDiscount = 1;
constexpr unsigned char kReadFuelCard = 2;

// The card identification transaction ("CID").
constexpr uint16_t kCardIdent = 30;

HRESULT magnetic_read(CVarkoClass2017& ecr, unsigned char kind, unsigned char wait)
{
    return exchange_into(ecr, ecr.m_MReadReport, [&](PosHandle* handle, _ecr_mread_report* report) {
        return pos_magnetic_read(handle, report, kind, wait);
    });
}

}  // namespace

HRESULT CVarkoClass2017::PosMagneticRead(char* track)
{
    LOGREC(LOG_INFO);
    if (track == nullptr)
        return 1;
    if (magnetic_read(*this, kReadPlain, 0) != 0)
        return E_FAIL;

    // track2 may be filled to its last byte without a terminator.
    const std::size_t n = strnlen(m_MReadReport.track2, sizeof(m_MReadReport.track2));
    std::memcpy(track, m_MReadReport.track2, n);
    track[n] = '\0';
    return 0;
}

HRESULT CVarkoClass2017::PosDiscountMagneticRead(unsigned char wait, char** track)
{
    LOGREC(LOG_INFO);
    if (wait < 1 || wait > 99)
        return E_INVALIDARG;
    if (track == nullptr)
        return 1;
    if (magnetic_read(*this, kReadDiscount, wait) != 0)
        return E_FAIL;
    *track = m_MReadReport.track2;
    return 0;
}

HRESULT CVarkoClass2017::PosAZSCardRead()
{
    LOGREC(LOG_INFO);
    return magnetic_read(*this, kReadFuelCard, 0);
}

HRESULT CVarkoClass2017::PosAZSPinRead(unsigned char parameter, char** pin)
{
    LOGREC(LOG_INFO);
    if (pin == nullptr)
        return 1;
    const HRESULT read = exchange_into(*this, m_LastReport, [&](PosHandle* handle, _ecr_transaction_report* report) {
        return pos_pin_read(handle, report, parameter, m_PurchTimeout);
    });
    if (read != 0)
        return read;
    // Six characters at most; the caller reads no more than that.
    *pin = m_LastReport.PinResult;
    return 0;
}

HRESULT CVarkoClass2017::PosCardIdent()
{
    LOGREC(LOG_INFO);
    LinkClaim claim(*this);
    if (!claim)
        return E_FAIL;
    PosHandle* handle = m_Transport.GetHandle();
    if (handle == nullptr) {
        LOGREC(LOG_ERROR) << "Can't get handle! return E_FAIL";
        return E_FAIL;
    }

    ClearBuffers();
    m_Param.trx_type = kCardIdent;
    // A flag left raised by an earlier cancel must not stop this transaction
    // before it starts; Transaction lowers it again when it ends.
    handle->interrupt = 0;
    Transaction();
    return 0;
}

HRESULT CVarkoClass2017::PosDiscountInit(char** id)
{
    LOGREC(LOG_INFO);
    if (id == nullptr)
        return 1;
    if (exchange_into(*this, m_MReadReport, pos_discount_init) != 0)
        return E_FAIL;
    *id = m_MReadReport.sha1hash[0] != '\0' ? m_MReadReport.sha1hash : m_MReadReport.track2;
    m_CardReadPending = true;
    return 0;
}

HRESULT CVarkoClass2017::PosDiscountInitEx()
{
    LOGREC(LOG_INFO);
    if (exchange_into(*this, m_DiscountInfo, pos_discount_init_ex) != 0)
        return E_FAIL;
    m_CardReadPending = true;
    return 0;
}

namespace {

// The account-identifier card reads differ only in the mode letter and in
// the field they hand out.
HRESULT account_card_read(CVarkoClass2017& ecr, char* account, char** out, unsigned char mode, bool track1)
{
    if (account == nullptr || out == nullptr)
        return 1;
    if (has_link_byte(account))
        return E_INVALIDARG;
    const HRESULT read = exchange_into(ecr, ecr.m_MReadReport, [&](PosHandle* handle, _ecr_mread_report* report) {
        return pos_discount_init_accid(handle, report, account, mode);
    });
    if (read != 0)
        return read;
    ecr.m_AccountType = mode;
    *out = track1 ? ecr.m_MReadReport.track1 : ecr.m_MReadReport.track2;
    ecr.m_CardReadPending = true;
    return 0;
}

}  // namespace

HRESULT CVarkoClass2017::PosDiscountInitAccIdSale(char* account, char** track)
{
    LOGREC(LOG_INFO);
    return account_card_read(*this, account, track, 'S', false);
}

HRESULT CVarkoClass2017::PosDiscountInitAccIdCash(char* account, char** track)
{
    LOGREC(LOG_INFO);
    return account_card_read(*this, account, track, 'C', false);
}

HRESULT CVarkoClass2017::PosRefundCardreadedMer(char* account, char** track)
{
    LOGREC(LOG_INFO);
    return account_card_read(*this, account, track, 'R', true);
}

namespace {

HRESULT group_card_read(CVarkoClass2017& ecr, char** name, const char* code)
{
    if (name == nullptr)
        return 1;
    const HRESULT read = exchange_into(ecr, ecr.m_MReadReport, [&](PosHandle* handle, _ecr_mread_report* report) {
        return pos_get_group(handle, report, code);
    });
    if (read != 0)
        return read;
    // A 64-character name fills nameGroup without a terminator; the zeroed
    // hash field behind it ends the text.
    *name = ecr.m_MReadReport.nameGroup;
    ecr.m_CardReadPending = true;
    return 0;
}

}  // namespace

HRESULT CVarkoClass2017::PosGetGroup(char** name)
{
    LOGREC(LOG_INFO);
    return group_card_read(*this, name, "GGP");
}

HRESULT CVarkoClass2017::PosRefundCardreaded(char** name)
{
    LOGREC(LOG_INFO);
    return group_card_read(*this, name, "GRC");
}

HRESULT CVarkoClass2017::PosCancelGetGroupCompletion()
{
    LOGREC(LOG_INFO);
    if (!m_CardReadPending)
        return E_FAIL;
    return on_link(*this, [&](PosHandle* handle) -> HRESULT {
        if (pos_cancel_get_group_completion(handle) != SE_OK)
            return E_FAIL;
        // The flag stays raised until the next transaction starts.
        handle->interrupt = 1;
        m_CardReadPending = false;
        m_DiscountPending = false;
        return 0;
    });
}

// ---- discount information (PosDiscountInitEx) ----------------------------

HRESULT CVarkoClass2017::get_DiscountMerchantID(unsigned char* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr)
        return 0;
    *pVal = m_DiscountInfo.merchant_id;
    return 0;
}

HRESULT CVarkoClass2017::get_DiscountMerchantName(char** pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr)
        return 1;
    *pVal = m_DiscountInfo.merchant_name;
    return 0;
}

HRESULT CVarkoClass2017::get_DiscountInfo(char** pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr)
        return 1;
    *pVal = m_DiscountInfo.info;
    return 0;
}

HRESULT CVarkoClass2017::get_DiscountRate(double* pVal)
{
    LOGREC(LOG_INFO);
    if (pVal == nullptr)
        return 1;
    *pVal = m_DiscountInfo.rate;
    return 0;
}
