// Live objects joined to where they were made: the statistics tag an object had before the
// snapshot names its allocation point (the info file's Allocation Points). Retained bytes of the
// objects of one point count each object once: those another object of the point dominates are
// already in its retained size.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis.h"

namespace snapshot_reader {

// The low word of a statistics tag names an allocation point of 32 and above in bits 19-31; lower
// numbers are the agent's other tag kinds.
inline bool is_statistics_tag(uint32_t tag) { return ((tag >> 19) & 0x1FFF) >= 32; }

// Every listed allocation point and every other one a live object names, largest retained first.
std::vector<AllocationRow> allocation_rows(const Analysis &analysis);

// For each suspect: the holder's allocation point and, largest first, the points of the followed
// objects below it (a group: below its members), counted once within the suspect.
void find_suspect_sites(const Analysis &analysis, std::vector<Suspect> *suspects);

// "vorkel.demo.Order @ Shop.main(Shop.java:10)", or "allocation id N" when the point is not listed.
std::string site_name(const AllocationRow &row);

}  // namespace snapshot_reader
