// A small ordered tree of report values, printed as indented text or as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class ReportValue {
  public:
    enum class Kind { kNull, kBool, kNumber, kText, kList, kObject };

    ReportValue() = default;
    static ReportValue Bool(bool b);
    static ReportValue Number(long long n);
    static ReportValue Text(std::string s);
    static ReportValue List();
    static ReportValue Object();

    // For objects: adds a member (kept in the order added) and returns it.
    ReportValue &Add(const std::string &key, ReportValue value);
    // For lists: appends an item and returns it.
    ReportValue &Append(ReportValue value);

    std::string ToJson(int indent = 0) const;
    std::string ToText(int indent = 0) const;

  private:
    Kind kind_ = Kind::kNull;
    bool bool_ = false;
    long long number_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, ReportValue>> members_;  // objects and lists
};

// Words for a result code of the library.
const char *ResultText(int code);
