// Prints the rows that the benchmark programs appended to a results file as one table.
//   skyloom-bench-report RESULTS_FILE
// Exit status 0 when every target is met, 3 when one is missed, 1 on a usage or read error.
#include <iostream>

#include "results.h"

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: skyloom-bench-report RESULTS_FILE" << std::endl;
        return 1;
    }
    const auto rows = skyloom::bench::readResults(argv[1]);
    if (rows.empty())
    {
        std::cerr << "skyloom-bench-report: no results in " << argv[1] << std::endl;
        return 1;
    }
    std::cout << skyloom::bench::formatTable(rows) << std::flush;
    for (const auto& row: rows)
    {
        if (row.verdict == skyloom::bench::verdict(false))
            return 3;
    }
    return 0;
}
