#include "kestrix/flash/json_reader.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

namespace kestrix::flash {
namespace {

using Object = Json::object_t;
using Members = std::vector<Object::value_type>;

// Keeps one member per key: the last value, in the place of the first. Sorting indices by key is
// O(n log n); an object without duplicates (the usual case) is left as it is.
void settleDuplicateKeys(Object& object) {
  Members& members = object;
  if (members.size() < 2) return;
  std::vector<std::size_t> order(members.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return members[a].first < members[b].first;
  });
  std::vector<std::size_t> keep_value_of(members.size(), members.size());  // first -> last index
  bool duplicates = false;
  for (std::size_t i = 0; i < order.size();) {
    std::size_t j = i;
    while (j + 1 < order.size() && members[order[j + 1]].first == members[order[i]].first) ++j;
    keep_value_of[order[i]] = order[j];
    duplicates = duplicates || j > i;
    i = j + 1;
  }
  if (!duplicates) return;
  Object settled;
  Members& out = settled;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (keep_value_of[i] == members.size()) continue;  // a later occurrence of a key
    out.emplace_back(members[i].first, std::move(members[keep_value_of[i]].second));
  }
  object = std::move(settled);
}

class Builder : public nlohmann::json_sax<Json> {
 public:
  Builder(Json* root, int max_depth) : root_(root), max_depth_(max_depth) {}

  bool null() override { return put(nullptr); }
  bool boolean(bool value) override { return put(value); }
  bool number_integer(number_integer_t value) override { return put(value); }
  bool number_unsigned(number_unsigned_t value) override { return put(value); }
  bool number_float(number_float_t value, const string_t&) override { return put(value); }
  bool string(string_t& value) override { return put(std::move(value)); }
  bool binary(binary_t& value) override { return put(Json::binary(std::move(value))); }

  bool start_object(std::size_t) override { return open(Json::object()); }
  bool key(string_t& value) override {
    Members& members = stack_.back()->get_ref<Object&>();
    members.emplace_back(std::move(value), nullptr);
    return true;
  }
  bool end_object() override {
    settleDuplicateKeys(stack_.back()->get_ref<Object&>());
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_array() override {
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    error_ = e.what();
    return false;
  }

  const std::string& error() const { return error_; }
  bool tooDeep() const { return too_deep_; }

 private:
  // Where the next value goes: the root, the end of the open array, or the open object's last key.
  Json* slot() {
    if (stack_.empty()) return root_;
    Json* parent = stack_.back();
    if (parent->is_array()) {
      parent->get_ref<Json::array_t&>().emplace_back();
      return &parent->get_ref<Json::array_t&>().back();
    }
    return &static_cast<Members&>(parent->get_ref<Object&>()).back().second;
  }

  template <typename Value>
  bool put(Value&& value) {
    *slot() = Json(std::forward<Value>(value));
    return true;
  }

  bool open(Json container) {
    if (static_cast<int>(stack_.size()) >= max_depth_) {
      too_deep_ = true;
      return false;
    }
    Json* at = slot();
    *at = std::move(container);
    stack_.push_back(at);
    return true;
  }

  Json* root_;
  int max_depth_;
  // The open arrays and objects, outermost first. Values only ever go to the innermost one, and
  // appending to it never moves the containers further out, so the pointers stay valid.
  std::vector<Json*> stack_;
  std::string error_;
  bool too_deep_ = false;
};

}  // namespace

JsonRead readJson(std::string_view text, int max_depth, Json* out, std::string* error) {
  Json value;
  Builder builder(&value, max_depth);
  if (!Json::sax_parse(text.begin(), text.end(), &builder)) {
    if (builder.tooDeep()) return JsonRead::kTooDeep;
    *error = builder.error();
    return JsonRead::kNotJson;
  }
  *out = std::move(value);
  return JsonRead::kOk;
}

}  // namespace kestrix::flash
