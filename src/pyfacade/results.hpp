// Conversions of C++ results into new Python objects. CPython failing to
// create one (normally for lack of memory) ends the call with the fault
// "Python API call failed".
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "boundary.hpp"
#include "free_threading.hpp"
#include "name_list.hpp"

namespace korvex::py {

Ref new_float(double value);
Ref new_str(std::string_view utf8);
// The same for text known to be ASCII, copied straight into a new one-byte
// str without looking at it again.
Ref new_ascii_str(std::string_view ascii);
Ref new_bool(bool value);

// Makes `name` the interned str of `text`, unless it already holds one: for
// the names the module asks the interpreter for, made once at
// initialisation and kept for the life of the process.
void intern_once(PyObject*& name, const char* text);

// A new list of new str, in the order given; `texts` has size() and
// operator[] giving UTF-8 text.
template <class Texts>
Ref new_str_list(const Texts& texts) {
  Ref list = checked(new_list_with_room(texts.size()));
  for (std::size_t i = 0; i < texts.size(); ++i)
    if (!put_list_item(list.get(), i, new_str(texts[i]))) api_call_failed();
  return list;
}

// A new list of the keys for_each_key hands out (see with_sorted_names),
// sorted: the listing of a registry's names.
template <class ForEachKey>
Ref new_sorted_str_list(ForEachKey&& for_each_key) {
  return with_sorted_names(for_each_key, [](const NameList& names) { return new_str_list(names); });
}

// A length slot's result: a count beyond the signed size range is an
// OverflowError without a message.
Py_ssize_t length_result(std::size_t count);

}  // namespace korvex::py
