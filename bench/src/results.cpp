#include "results.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace skyloom::bench {

namespace {

constexpr size_t kColumns = 7;

std::array<std::string, kColumns> cells(const ResultRow& row)
{
    return {row.group, row.metric, row.value, row.reference, row.ratio, row.target, row.verdict};
}

/** Tabs and line feeds would break the file's layout. */
std::string clean(std::string text)
{
    std::replace(text.begin(), text.end(), '\t', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

} // namespace

bool appendResults(const std::string& path, const std::vector<ResultRow>& rows)
{
    std::ofstream file(path, std::ios::app);
    if (!file)
        return false;
    for (const ResultRow& row: rows)
    {
        const auto values = cells(row);
        for (size_t i = 0; i < kColumns; ++i)
            file << (i ? "\t" : "") << clean(values[i]);
        file << '\n';
    }
    return static_cast<bool>(file);
}

std::vector<ResultRow> readResults(const std::string& path)
{
    std::vector<ResultRow> rows;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
    {
        std::vector<std::string> fields;
        std::istringstream stream(line);
        std::string field;
        while (std::getline(stream, field, '\t'))
            fields.push_back(field);
        if (line.empty() || fields.size() > kColumns || fields.size() < 3)
            continue;
        fields.resize(kColumns);
        rows.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
            fields[6]});
    }
    return rows;
}

std::string formatTable(const std::vector<ResultRow>& rows)
{
    const ResultRow header{"measurement", "figure", "plugin", "baseline", "ratio", "target", ""};
    std::array<size_t, kColumns> widths{};
    const auto widen = [&widths](const ResultRow& row)
    {
        const auto values = cells(row);
        for (size_t i = 0; i < kColumns; ++i)
            widths[i] = std::max(widths[i], values[i].size());
    };
    widen(header);
    for (const ResultRow& row: rows)
        widen(row);

    std::ostringstream out;
    const auto print = [&](const ResultRow& row)
    {
        const auto values = cells(row);
        std::string line;
        for (size_t i = 0; i < kColumns; ++i)
        {
            std::string cell = values[i];
            // Numbers read better right-aligned; names left-aligned.
            const bool right = i >= 2 && i <= 4;
            const std::string pad(widths[i] - cell.size(), ' ');
            line += (i ? "  " : "") + (right ? pad + cell : cell + pad);
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << '\n';
    };
    print(header);
    size_t total = 0;
    for (size_t width: widths)
        total += width + 2;
    out << std::string(total - 2, '-') << '\n';
    std::string lastGroup;
    for (ResultRow row: rows)
    {
        // The group is written once for its run of rows.
        if (row.group == lastGroup)
            row.group.clear();
        else
            lastGroup = row.group;
        print(row);
    }
    return out.str();
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string verdict(bool met)
{
    return met ? "met" : "MISSED";
}

} // namespace skyloom::bench
