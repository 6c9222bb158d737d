// A small ordered tree of report values: the inventory as collected, printed as indented text,
// as JSON or as OCS Inventory XML (report_ocs.cpp).
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
    // A text that says why a source answered nothing: printed like any text, but it is no
    // value of the source (the OCS view leaves it out).
    static ReportValue Failure(std::string s);
    static ReportValue List();
    static ReportValue Object();

    // For objects: adds a member (kept in the order added) and returns it.
    ReportValue &Add(const std::string &key, ReportValue value);
    // For lists: appends an item and returns it.
    ReportValue &Append(ReportValue value);

    std::string ToJson(int indent = 0) const;
    std::string ToText(int indent = 0) const;

    Kind kind() const { return kind_; }
    bool failure() const { return failure_; }
    long long number() const { return number_; }
    const std::string &text() const { return text_; }
    // An object's member (nullptr when absent); the items of a list or object, in order.
    const ReportValue *Find(const std::string &key) const;
    const std::vector<std::pair<std::string, ReportValue>> &items() const { return members_; }

  private:
    Kind kind_ = Kind::kNull;
    bool bool_ = false;
    bool failure_ = false;
    long long number_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, ReportValue>> members_;  // objects and lists
};

// The version of the JSON report's layout (docs/report.schema.json), in its "schema_version".
constexpr int kReportSchemaVersion = 1;

// The report as an OCS Inventory XML file: only what the inventory agents have fields for.
std::string OcsInventory(const ReportValue &report);

// Words for a result code of the library.
const char *ResultText(int code);
