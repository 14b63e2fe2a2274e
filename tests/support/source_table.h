#pragma once
// How the sources of a pass fared, as text a test compares at a glance: one
// line per source asked, "<source> up" or "<source> <reason>" (times left out).

#include <string>

#include "discovery/sources/source_ledger.h"

namespace karvo::testing {

inline std::string source_table(const discovery::SourceLedger& ledger) {
    std::string table;
    for (const discovery::SourceStatus& s : ledger.statuses()) {
        table += s.source;
        table += ' ';
        table += s.up() ? std::string_view("up") : discovery::reason_name(*s.reason);
        table += '\n';
    }
    return table;
}

}  // namespace karvo::testing
