// The model harness of the dataset layer: seeded random appends, inserts, edits, cancels,
// deletes, moves, bookmarks and case-ignoring Locates on any dataset with an integer field ID and
// a text field NAME, checked against a list model after every step (state, count, record number,
// current record). A failure names its seed and step; VELMARON_SEED replays it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dataset/dataset.h"

namespace dataset_model {

struct Options {
  int steps = 1500;
  // Inserted records join the end of the order (a store in insertion order) instead of going
  // before the current record.
  bool insertsGoLast = false;
};

// `d` is open and empty.
inline void RunListModel(dataset::DataSet& d, uint32_t seed, const Options& options = {}) {
  namespace ds = dataset;
  std::mt19937 rng(seed);
  std::vector<std::pair<int, std::string>> model;
  size_t cur = 0;
  for (int step = 0; step < options.steps; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    const int op = int(rng() % 9);
    const int id = step;
    const std::string name = "name" + std::to_string(rng() % 50);
    if (op == 0 || model.empty()) {
      d.Append();
      d.FieldByName("ID").SetAsInteger(id);
      d.FieldByName("NAME").SetAsString(name);
      d.Post();
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
        if (options.insertsGoLast) {
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

}  // namespace dataset_model
