// The list-model harness of the memory dataset: random edits, inserts, deletes, cancels and
// moves on a dataset whose table has an integer ID and a text NAME, checked against a list after
// every step. Any dataset over such a table runs it: a store that keeps records in the order of
// their insertion (an engine table) passes `insertsGoLast`.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dataset/dataset.h"

namespace dataaccess::testing {

namespace ds = dataset;

inline void addRow(ds::DataSet& d, int id, const std::string& name) {
  d.Append();
  d.FieldByName("ID").SetAsInteger(id);
  d.FieldByName("NAME").SetAsString(name);
  d.Post();
}

// Random edits, inserts, deletes, cancels and moves against a list model; after each step the
// dataset's current record, record number and count match the model.
// `model` ends as the rows the dataset must hold, in order.
inline void RunListModel(ds::DataSet& d, uint32_t seed, int steps,
                         std::vector<std::pair<int, std::string>>& model, bool insertsGoLast = false) {
  std::mt19937 rng(seed);
  size_t cur = 0;
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    const int op = int(rng() % 9);
    const int id = step;
    const std::string name = "name" + std::to_string(rng() % 50);
    if (op == 0 || model.empty()) {
      addRow(d, id, name);
      model.emplace_back(id, name);
      cur = model.size() - 1;
    } else if (op == 1) {
      d.Insert();
      d.FieldByName("ID").SetAsInteger(id);
      d.FieldByName("NAME").SetAsString(name);
      if (rng() % 3 == 0) {
        d.Cancel();
      } else {
        d.Post();
        if (insertsGoLast) {
          model.emplace_back(id, name);
          cur = model.size() - 1;
        } else {
          model.insert(model.begin() + long(cur), {id, name});
        }
      }
    } else if (op == 2) {
      d.Edit();
      ASSERT_EQ(d.State(), ds::dsEdit);
      d.FieldByName("NAME").SetAsString(name);
      EXPECT_EQ(d.FieldByName("NAME").OldValue().asString(), model[cur].second);
      if (rng() % 2) {
        d.Cancel();
      } else {
        d.Post();
        model[cur].second = name;
      }
    } else if (op == 3) {
      d.Delete();
      model.erase(model.begin() + long(cur));
      if (cur == model.size() && cur > 0) --cur;
    } else if (op == 4) {
      const int by = int(rng() % 7) - 3;
      const int moved = d.MoveBy(by);
      const long target = std::clamp(long(cur) + by, 0L, long(model.size()) - 1);
      EXPECT_EQ(moved, std::abs(target - long(cur)));
      cur = size_t(target);
    } else if (op == 5) {
      rng() % 2 ? d.First() : d.Last();
      cur = d.Bof() ? 0 : model.size() - 1;
    } else if (op == 6) {
      const ds::Bookmark b = d.GetBookmark();
      const size_t at = cur;
      d.MoveBy(int(rng() % 5));
      d.GotoBookmark(b);
      cur = at;
    } else {
      const std::string wanted = "NAME" + std::to_string(rng() % 50);
      size_t hit = 0;
      while (hit < model.size() && model[hit].second != "name" + wanted.substr(4)) ++hit;
      EXPECT_EQ(d.Locate("name", wanted, ds::loCaseInsensitive), hit < model.size());
      if (hit < model.size()) cur = hit;
    }
    ASSERT_EQ(d.State(), ds::dsBrowse);
    ASSERT_EQ(d.RecordCount(), int(model.size()));
    if (model.empty()) {
      ASSERT_TRUE(d.IsEmpty() && d.Bof() && d.Eof());
      continue;
    }
    ASSERT_EQ(d.RecNo(), int(cur) + 1);
    ASSERT_EQ(d.FieldByName("ID").AsInteger(), model[cur].first);
    ASSERT_EQ(d.FieldByName("NAME").AsString(), model[cur].second);
  }
}

}  // namespace dataaccess::testing
