// The seventeen entries a new registry holds, read from the table the tests
// and the benchmarks share (tests/python/expected_constants.tsv, whose
// path the build gives as KORVEX_EXPECTED_CONSTANTS), in the order the
// registry seeds them.
#pragma once

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "constant_record.hpp"

namespace korvex {

struct ExpectedConstant {
  ConstantRecord record;
  std::string value_text;  // the value as the datasheet writes it

  // The datasheet's text for the entry.
  std::string datasheet() const {
    return R"({"name":")" + record.name + R"(","status":")" + std::string(to_text(record.status)) +
           R"(","uncertainty":null,"units":")" + record.units + R"(","value":)" + value_text + "}";
  }
};

inline const std::vector<ExpectedConstant>& expected_constants() {
  static const std::vector<ExpectedConstant> entries = [] {
    std::vector<ExpectedConstant> read;
    std::ifstream table(KORVEX_EXPECTED_CONSTANTS);
    auto fail = [](const std::string& why) {
      std::fprintf(stderr, "%s: %s\n", KORVEX_EXPECTED_CONSTANTS, why.c_str());
      std::abort();
    };
    if (!table) fail("cannot be read");
    for (std::string line; std::getline(table, line);) {
      if (line.empty() || line.front() == '#') continue;
      std::vector<std::string> fields;
      std::istringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      if (line.back() == '\t') fields.emplace_back();
      if (fields.size() != 6) fail("a row without six fields: " + line);
      ConstantRecord record;
      record.name = fields[0];
      const std::string& value = fields[1];
      if (std::from_chars(value.data(), value.data() + value.size(), record.value).ptr != value.data() + value.size())
        fail("a value that is no number: " + value);
      record.units = fields[2];
      if (fields[3] != to_text(ConstantStatus::Seed) && fields[3] != to_text(ConstantStatus::Pending))
        fail("a status the registry never holds: " + fields[3]);
      record.status = fields[3] == to_text(ConstantStatus::Seed) ? ConstantStatus::Seed : ConstantStatus::Pending;
      if (!fields[4].empty()) record.formula = fields[4];
      std::istringstream dependencies(fields[5]);
      for (std::string name; dependencies >> name;) record.dependencies.push_back(name);
      read.push_back({std::move(record), value});
    }
    if (read.size() != 17) fail("not seventeen entries");
    return read;
  }();
  return entries;
}

}  // namespace korvex
