#pragma once
// How the sources of a pass fared, as text a test compares at a glance: one
// line per source asked, "<source> up" or "<source> <reason>" (times left out).

#include <span>
#include <string>

#include "discovery/sources/source_ledger.h"

namespace karvo::testing {

inline std::string source_table(std::span<const discovery::SourceStatus> statuses) {
    std::string table;
    for (const discovery::SourceStatus& s : statuses) {
        table += s.source;
        table += ' ';
        table += s.up() ? std::string_view("up") : discovery::reason_name(*s.reason);
        table += '\n';
    }
    return table;
}

inline std::string source_table(const discovery::SourceLedger& ledger) { return source_table(ledger.statuses()); }

}  // namespace karvo::testing
