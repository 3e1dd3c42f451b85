#include "preview/compound_file.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-utils.h>

namespace velmora::preview {

namespace {

// GObject references released on scope exit.
struct Unref {
  void operator()(void* object) const {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using GsfPtr = std::unique_ptr<T, Unref>;

}  // namespace

bool ReadCompoundStream(const std::string& path, const char* stream, size_t cap,
                        std::vector<uint8_t>* out) {
  out->clear();
  GError* error = nullptr;
  GsfPtr<GsfInput> file(gsf_input_stdio_new(path.c_str(), &error));
  if (error) g_error_free(error);
  if (!file) return false;
  error = nullptr;
  GsfPtr<GsfInfile> storage(gsf_infile_msole_new(file.get(), &error));
  if (error) g_error_free(error);
  if (!storage) return false;
  GsfPtr<GsfInput> member(gsf_infile_child_by_name(storage.get(), stream));
  if (!member) return false;
  const gsf_off_t size = gsf_input_size(member.get());
  if (size < 0 || static_cast<uint64_t>(size) > cap) return false;
  out->resize(static_cast<size_t>(size));
  return size == 0 ||
         gsf_input_read(member.get(), static_cast<size_t>(size), out->data()) != nullptr;
}

}  // namespace velmora::preview
