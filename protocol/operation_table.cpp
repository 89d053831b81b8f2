// The table of payment operations.
#include "protocol/operation_table.h"

#include "protocol/message.h"

namespace {

using L = OpLayout;
using C = OpConfirm;
constexpr bool I = true;   // interruptible / abortable / moves money
constexpr bool o = false;

// clang-format off
const OpRow kRows[] = {
    // code name   tag    header    layout               intr abort confirm       money
    {1,  "PUR", "PUR", "PUR10.", L::Common,           o, I, C::Thirteen,   I},
    {2,  "REF", "REF", "REF10.", L::Common,           o, I, C::Thirteen,   I},
    {4,  "DIN", nullptr, nullptr, L::None,            o, o, C::Thirteen,   I},
    {5,  "DSC", "DSC", "DSC12.", L::Common,           o, o, C::Fifteen,    I},
    {6,  "REF", "PPD", "PPD10.", L::Bare,             o, o, C::Thirteen,   I},  // logged as "REF"
    {7,  "STL", "STL", "STL10.", L::Settlement,       o, o, C::Thirteen,   I},
    {8,  "VOD", "VOD", "VOD10.", L::Invoice,          o, o, C::Thirteen,   I},
    {9,  "RDC", "RDC", "RDC10.", L::DiscountRequest,  o, o, C::NextNumber, I},
    {10, "CTR", "CTR", "RDC14.", L::DiscountComplete, o, o, C::Thirteen,   I},
    {11, "AUH", "AUH", "AUH10.", L::Common,           o, o, C::Thirteen,   I},
    {12, "AHF", "AHF", "AHF10.", L::Common,           o, o, C::Thirteen,   I},
    {14, "PCC", "PCC", "PCC10.", L::Common,           o, o, C::NextNumber, I},
    {15, "SLR", "SLR", "SLR10.", L::Settlement,       o, o, C::Thirteen,   I},
    {16, "SEP", "SEP", "SEP10.", L::ServiceParams,    o, o, C::Thirteen,   I},
    {17, "AFC", "AFC", "AFC10.", L::Common,           o, o, C::Thirteen,   I},
    {18, "PIR", "PIR", "PIR10.", L::Common,           I, o, C::Thirteen,   I},
    {19, "RFI", "RFI", "RFI10.", L::Common,           I, o, C::Thirteen,   I},
    {20, "PVD", "PVD", "PVD10.", L::PartVoid,         o, o, C::Thirteen,   I},
    {21, "OFN", "OFN", "OFN10.", L::Common,           o, o, C::Thirteen,   I},
    {22, "LRW", "LRW", "LRW10.", L::Common,           o, o, C::Thirteen,   I},
    {23, "LRD", "LRD", "LRD10.", L::Common,           o, o, C::Thirteen,   I},
    {24, "LWV", "LWV", "LWV10.", L::Common,           o, o, C::Thirteen,   I},
    {25, "LDV", "LDV", "LDV10.", L::Common,           o, o, C::Thirteen,   I},
    {26, "LWR", "LWR", "LWR10.", L::Common,           o, o, C::Thirteen,   I},
    {27, "LDR", "LDR", "LDR10.", L::Common,           o, o, C::Thirteen,   I},
    {28, "LGO", "LGO", "LGO10.", L::Common,           o, o, C::Thirteen,   I},
    {29, "DCR", nullptr, nullptr, L::None,            o, o, C::Thirteen,   I},
    {30, "CID", "CID", "CID10.", L::HeaderFs,         o, o, C::Thirteen,   I},
    {31, "RFC", "RFC", "RFC12.", L::Common,           o, o, C::Fifteen,    I},
    {32, "XRP", "XRP", "XRP10.", L::XReport,          o, o, C::Thirteen,   I},
    {33, "ACR", nullptr, nullptr, L::None,            o, o, C::Thirteen,   I},
    {34, "APP", nullptr, nullptr, L::None,            o, o, C::Thirteen,   I},
    {35, "CSH", "CSH", "CSH10.", L::Common,           o, I, C::Thirteen,   I},
    {36, "CRC", "CRC", "CRC10.", L::Common,           o, I, C::Thirteen,   I},
    {37, "BAL", "BAL", "BAL10.", L::Common,           o, o, C::Thirteen,   I},
    {38, "SLO", "SLO", "SLO10.", L::Settlement,       o, o, C::Thirteen,   I},
    {39, "ECH", "ECH", "ECH10.", L::Bare,             o, o, C::Thirteen,   I},
    {40, "IFC", "IFC", "IFC10.", L::Bare,             o, o, C::Thirteen,   I},
    {41, "IFN", "IFN", "IFN10.", L::Bare,             o, o, C::Thirteen,   I},
    {42, "SRC", "SRC", "SRC10.", L::ServiceParams,    o, o, C::Thirteen,   I},
    {43, "PNG", "PNG", "PNG10.", L::Ping,             o, o, C::Thirteen,   o},
    {44, "CAS", nullptr, nullptr, L::None,            I, o, C::Thirteen,   I},
    {45, "PST", "PST", "PST10.", L::PrintText,        o, o, C::Thirteen,   I},
    {46, "ACC", "ACC", "ACC10.", L::Common,           o, I, C::Thirteen,   I},
    {47, "VID", "VID", "VID10.", L::Common,           o, o, C::Thirteen,   I},
};
// clang-format on

}  // namespace

const OpRow* op_rows(unsigned int* count)
{
    *count = sizeof kRows / sizeof kRows[0];
    return kRows;
}

const OpRow* op_row(unsigned int code)
{
    for (const OpRow& row : kRows) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

const OpRow* op_row_by_tag(const unsigned char* tag)
{
    if (tag == nullptr)
        return nullptr;
    for (const OpRow& row : kRows) {
        if (row.tag != nullptr && same_text_nocase(tag, row.tag, 3))
            return &row;
    }
    return nullptr;
}

bool op_interruptible(unsigned int code)
{
    const OpRow* row = op_row(code);
    return row != nullptr && row->interruptible;
}

bool op_abortable(unsigned int code)
{
    const OpRow* row = op_row(code);
    return row != nullptr && row->abortable;
}

bool op_moves_money(unsigned int code)
{
    const OpRow* row = op_row(code);
    return row != nullptr && row->moves_money;
}

OpConfirm op_confirm_rule(const unsigned char* tag)
{
    const OpRow* row = op_row_by_tag(tag);
    return row != nullptr ? row->confirm : OpConfirm::Thirteen;
}
