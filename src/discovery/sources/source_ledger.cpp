#include "discovery/sources/source_ledger.h"

#include "platform/system.h"

namespace karvo::discovery {
namespace {

thread_local SourceLedger* current_ledger = nullptr;
thread_local SourceTimer* current_timer = nullptr;

// How telling a reason is: a later note replaces an earlier one only when it
// tells more.
int weight(const std::optional<SourceReason>& reason) {
    if (!reason) return 0;
    switch (*reason) {
        case SourceReason::failed: return 1;
        case SourceReason::missing: return 2;
        case SourceReason::timeout: return 3;
    }
    return 0;
}

}  // namespace

std::string_view reason_name(SourceReason reason) {
    switch (reason) {
        case SourceReason::failed: return "failed";
        case SourceReason::missing: return "missing";
        case SourceReason::timeout: return "timeout";
    }
    return "failed";
}

SourceLedger::SourceLedger() : previous_(current_ledger) { current_ledger = this; }
SourceLedger::~SourceLedger() { current_ledger = previous_; }

SourceLedger::Entry* SourceLedger::entry(std::string_view source) {
    for (std::size_t i = 0; i < kSourceNames.size(); ++i)
        if (kSourceNames[i] == source) return &entries_[i];
    return nullptr;
}

std::vector<SourceStatus> SourceLedger::statuses() const {
    std::vector<SourceStatus> out;
    for (std::size_t i = 0; i < kSourceNames.size(); ++i) {
        const Entry& e = entries_[i];
        if (e.asked) out.push_back({kSourceNames[i], e.reason, static_cast<double>(e.ns) / 1e9});
    }
    return out;
}

SourceTimer::SourceTimer(std::string_view source)
    : entry_(current_ledger != nullptr ? current_ledger->entry(source) : nullptr), outer_(current_timer) {
    if (entry_ == nullptr) return;
    entry_->asked = true;
    started_ = platform::monotonic_ns();
    current_timer = this;
}

SourceTimer::~SourceTimer() {
    if (entry_ == nullptr) return;
    const std::uint64_t spent = platform::monotonic_ns() - started_;
    entry_->ns += spent > nested_ns_ ? spent - nested_ns_ : 0;
    if (outer_ != nullptr) outer_->nested_ns_ += spent;
    current_timer = outer_;
}

void note_source(std::string_view source, std::optional<SourceReason> reason) {
    if (current_ledger == nullptr) return;
    SourceLedger::Entry* e = current_ledger->entry(source);
    if (e == nullptr) return;
    e->asked = true;
    if (weight(reason) > weight(e->reason)) e->reason = reason;
}

void forget_source_outcome(std::string_view source) {
    if (current_ledger == nullptr) return;
    if (SourceLedger::Entry* e = current_ledger->entry(source)) e->reason.reset();
}

}  // namespace karvo::discovery
