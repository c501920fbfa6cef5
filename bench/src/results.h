// The benchmarks' result rows: each program appends its rows to one tab-separated file, and the
// report prints all rows as one table. Rows are values; the file functions are for one thread.
#pragma once

#include <string>
#include <vector>

namespace skyloom::bench {

struct ResultRow
{
    std::string group; //< What was measured, e.g. "end to end, 16 cameras".
    std::string metric; //< e.g. "delivered/s flat out".
    std::string value; //< The plugin's figure, with its unit.
    std::string reference; //< The baseline's figure, or "".
    std::string ratio; //< value / reference, or "".
    std::string target; //< e.g. ">= 0.8x", or "".
    std::string verdict; //< "met", "MISSED" or "".
};

/** Appends the rows to the file (created if missing); false if it cannot be written. */
bool appendResults(const std::string& path, const std::vector<ResultRow>& rows);

/** All rows of the file; lines that are not rows are skipped. */
std::vector<ResultRow> readResults(const std::string& path);

/** The rows as an aligned text table with a header line. */
std::string formatTable(const std::vector<ResultRow>& rows);

/** Fixed-point text with the given number of decimals. */
std::string fixed(double value, int decimals);

/** "met" or "MISSED". */
std::string verdict(bool met);

} // namespace skyloom::bench
