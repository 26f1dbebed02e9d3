#pragma once

#include <ostream>
#include <string>
#include <vector>

// A text table with a header line: the first column left-aligned, the others
// right-aligned, every column as wide as its widest cell.
class ReportTable {
public:
    explicit ReportTable(std::vector<std::string> header) : header_(std::move(header)) {}

    void addRow(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void print(std::ostream &out) const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};
