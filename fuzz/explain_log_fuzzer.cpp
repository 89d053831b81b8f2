// ecrcli explain over arbitrary bytes: the log reader and the explain step
// must read anything (binary junk, broken dumps, endless lines) without a
// fault, in bounded memory, never print a card number in clear and always
// write valid JSON.  The
// input is fed in two pieces cut where its first byte says, so that lines
// and dumps split between reads are covered too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "Logging/redact.h"
#include "ecrcli/explain.h"

namespace {

// A run of 13 to 19 digits that passes the Luhn check: a card number.
void no_card_number(const std::string& out)
{
    size_t i = 0;
    while (i < out.size()) {
        if (out[i] < '0' || out[i] > '9') {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < out.size() && out[j] >= '0' && out[j] <= '9')
            ++j;
        if (j - i >= 13 && j - i <= 19 && el::luhn_valid(out.data() + i, j - i))
            std::abort();
        i = j;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    ecrcli::Explainer ex([](ecrcli::ExplainedOperation&& op) {
        if (op.events.size() > ecrcli::Explainer::kMaxEvents || op.status.empty() || op.verdict.empty())
            std::abort();
        no_card_number(ecrcli::render_operation_text(op));
        const std::string json = ecrcli::render_operation_json(op);
        no_card_number(json);
        if (!nlohmann::json::accept(json))  // one valid object, whatever the log held
            std::abort();
    });
    ecrcli::LogScanner scanner([&](const ecrcli::LogItem& it) { ex.item(it); });
    // Exact-size pieces on the heap, so that a read past either end is caught.
    std::string first(reinterpret_cast<const char*>(data), cut);
    std::string second(reinterpret_cast<const char*>(data) + cut, size - cut);
    scanner.feed(first.data(), first.size());
    scanner.feed(second.data(), second.size());
    scanner.finish();
    ex.finish();
    return 0;
}
