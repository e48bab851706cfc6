#include "image_tools.hpp"

#include <pybind11/stl.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "args.hpp"
#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/image_pack.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;
using flash::ImageReport;
using flash::PackOptions;
using flash::PackResult;

template <typename T>
pyb::object optional(const std::optional<T>& value) {
  return value ? pyb::cast(*value) : pyb::none();
}

pyb::dict packImage(const pyb::object& image_path, const pyb::object& out_path,
                    const pyb::object& header_path, std::int64_t dev_type,
                    std::optional<std::int64_t> image_start,
                    std::optional<std::string> fpga_version) {
  if (image_start && *image_start < 0)
    throw std::invalid_argument("image start must not be negative: " +
                                std::to_string(*image_start));
  const std::string image = pathText(image_path, "image_path");
  const std::string target = pathText(out_path, "out_path");
  std::optional<std::string> header;
  if (!header_path.is_none()) header = pathText(header_path, "header_path");
  PackResult result;
  withoutGil([&] {
    PackOptions options;
    if (header) options.header_region = files::readWholeFile(*header);
    options.dev_type = dev_type;
    if (image_start) options.image_start = static_cast<std::uint64_t>(*image_start);
    options.fpga_version = std::move(fpga_version);
    result = flash::packTbinFile(image, target, options);
  });
  pyb::dict out;
  out["file_size"] = result.file_size;
  out["header_length"] = result.header_length;
  out["image_length"] = result.image_length;
  out["image_start"] = result.image_start;
  out["device_type"] = result.dev_type_text;
  out["fpga_version"] = optional(result.fpga_version);
  return out;
}

pyb::dict inspectImage(const pyb::object& path_object, const pyb::object& device_type_object) {
  const std::string path = pathText(path_object, "path");
  std::optional<std::int64_t> device_type;
  if (!device_type_object.is_none()) device_type = strictInt(device_type_object, "device_type");
  const ImageReport report = withoutGil([&] { return flash::inspectImage(path, device_type); });
  pyb::dict out;
  out["path"] = pathObject(path);
  out["kind"] = report.kind;
  out["passed"] = report.passed;
  out["failure"] = report.failure.empty() ? pyb::object(pyb::none()) : displayText(report.failure);
  // The kind's stable name ("image-missing"), as records and --json name it.
  out["failure_kind"] = report.passed
                            ? pyb::object(pyb::none())
                            : pyb::str(std::string(flash::failureInfo(report.failure_kind).name));
  pyb::list messages;
  for (const auto& [level, text] : report.messages)
    messages.append(pyb::make_tuple(std::string(levelName(level)), displayText(text)));
  out["messages"] = messages;
  out["file_size"] = optional(report.file_size);
  const std::optional<flash::tbin::Verification>& v = report.tbin;
  const bool fields = v && v->prefix_ok;
  out["header_length"] = fields ? pyb::cast(v->header_length) : pyb::none();
  out["image_length"] = fields ? pyb::cast(v->image_length) : pyb::none();
  out["image_start"] = fields ? pyb::cast(v->image_start_addr) : pyb::none();
  out["header_region_size"] = fields ? pyb::cast(v->header_region_size) : pyb::none();
  out["image_region_size"] = fields ? pyb::cast(v->image_region_size) : pyb::none();
  out["header"] = v && v->header ? toPython(*v->header) : pyb::none();
  out["parse_error"] = v && v->verdict == flash::tbin::Verdict::kParseError
                           ? pyb::cast(v->parse_error)
                           : pyb::none();
  out["device_type"] = v ? optional(v->dev_type_text) : pyb::none();
  out["device_types"] = v && v->dev_type_text ? pyb::cast(v->dev_types) : pyb::none();
  out["header_digest_ok"] = v ? optional(v->header_digest_ok) : pyb::none();
  out["image_digest_ok"] = v ? optional(v->image_digest_ok) : pyb::none();
  out["fpga_version"] = optional(report.fpga_version);
  return out;
}

}  // namespace

void bindImageTools(pyb::module_& m) {
  m.def("_pack_image", &packImage, pyb::arg("image_path"), pyb::arg("out_path"),
        pyb::arg("header_path") = pyb::none(), pyb::arg("dev_type") = flash::kDefaultDeviceType,
        pyb::arg("image_start") = pyb::none(), pyb::arg("fpga_version") = pyb::none(),
        "Pack the raw image IMAGE_PATH into the tbin file OUT_PATH. The header text region is\n"
        "the file HEADER_PATH verbatim, or {\"DEV_TYPE\": DEV_TYPE} with \"FPGA_VER\":\n"
        "FPGA_VERSION when one is given; the image starts at IMAGE_START, or right after the\n"
        "header. Returns what the file holds. Raises ValueError for a header, version or layout\n"
        "the check would refuse, OSError when a file fails.");
  m.def("_inspect_image", &inspectImage, pyb::arg("path"), pyb::arg("device_type") = pyb::none(),
        "Run both image checks on PATH without a device and return what they found: kind,\n"
        "verdict, the messages they logged, and for a tbin its fields, header, device types,\n"
        "declared FPGA version and digests. With DEVICE_TYPE, a tbin made for other device types "
        "fails, as its update would.");
}

}  // namespace kestrix::py
