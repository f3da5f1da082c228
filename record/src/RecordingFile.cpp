#include "RecordingFile.hpp"

#include <fmt/format.h>

#include <array>
#include <chrono>
#include <ctime>

namespace vexatools::record {

namespace {

// Filters from hdf5-filter-plugin, registered identifiers.
constexpr H5Z_filter_t kLz4Filter = 32004;
constexpr H5Z_filter_t kBitshuffleFilter = 32008;
constexpr unsigned kBitshuffleWithLz4 = 2;  // the filter's own code for "then LZ4"
constexpr unsigned kDeflateLevel = 1;       // fast: recording must keep up

constexpr hsize_t kValuesPerChunk = 256;  // per-image values: 2 KiB chunks
constexpr hsize_t kGapsPerChunk = 64;
constexpr hsize_t kGapColumns = 3;

H5Handle Plist(hid_t kind, const char* what) { return H5Handle(H5Pcreate(kind), H5Pclose, what); }

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                     utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
}

void WriteAttribute(hid_t object, const char* name, const std::string& value) {
  H5Handle type(H5Tcopy(H5T_C_S1), H5Tclose, "string type");
  Check(H5Tset_size(type.get(), H5T_VARIABLE), "string type");
  Check(H5Tset_cset(type.get(), H5T_CSET_UTF8), "string type");
  H5Handle space(H5Screate(H5S_SCALAR), H5Sclose, "attribute space");
  const std::string what = fmt::format("attribute {}", name);
  H5Handle attribute(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose, what);
  const char* text = value.c_str();
  Check(H5Awrite(attribute.get(), type.get(), &text), what);
}

void WriteAttribute(hid_t object, const char* name, std::int64_t value) {
  H5Handle space(H5Screate(H5S_SCALAR), H5Sclose, "attribute space");
  const std::string what = fmt::format("attribute {}", name);
  H5Handle attribute(H5Acreate2(object, name, H5T_STD_I64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose, what);
  Check(H5Awrite(attribute.get(), H5T_NATIVE_INT64, &value), what);
}

std::optional<std::int64_t> ReadIntegerAttribute(hid_t object, const char* name) {
  if (H5Aexists(object, name) <= 0) return {};
  H5Handle attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose, name);
  std::int64_t value = 0;
  H5Handle space(H5Aget_space(attribute.get()), H5Sclose, name);
  if (H5Sget_simple_extent_npoints(space.get()) != 1) return {};
  if (H5Aread(attribute.get(), H5T_NATIVE_INT64, &value) < 0) return {};
  return value;
}

std::string ReadStringAttribute(hid_t object, const char* name) {
  if (H5Aexists(object, name) <= 0) return {};
  H5Handle attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose, name);
  H5Handle fileType(H5Aget_type(attribute.get()), H5Tclose, name);
  H5Handle space(H5Aget_space(attribute.get()), H5Sclose, name);
  if (H5Tget_class(fileType.get()) != H5T_STRING || H5Tis_variable_str(fileType.get()) <= 0 ||
      H5Sget_simple_extent_npoints(space.get()) != 1)
    return {};
  H5Handle type(H5Tcopy(H5T_C_S1), H5Tclose, "string type");
  Check(H5Tset_size(type.get(), H5T_VARIABLE), "string type");
  Check(H5Tset_cset(type.get(), H5Tget_cset(fileType.get())), "string type");
  char* text = nullptr;
  if (H5Aread(attribute.get(), type.get(), &text) < 0 || !text) return {};
  std::string value(text);
  H5free_memory(text);
  return value;
}

// The file's pixel type: the stream's numeric type in its byte order, so
// that pixel bytes are stored as they came.
H5Handle PixelFileType(const ImageLayout& layout) {
  const bool little = layout.littleEndian;
  hid_t base = H5I_INVALID_HID;
  const std::string name = PixelTypeName(layout);
  if (name == "float32") base = little ? H5T_IEEE_F32LE : H5T_IEEE_F32BE;
  else if (name == "float64") base = little ? H5T_IEEE_F64LE : H5T_IEEE_F64BE;
  else if (name == "uint8") base = H5T_STD_U8LE;
  else if (name == "uint16") base = little ? H5T_STD_U16LE : H5T_STD_U16BE;
  else if (name == "uint32") base = little ? H5T_STD_U32LE : H5T_STD_U32BE;
  else if (name == "uint64") base = little ? H5T_STD_U64LE : H5T_STD_U64BE;
  else if (name == "int32") base = little ? H5T_STD_I32LE : H5T_STD_I32BE;
  else if (name == "int64") base = little ? H5T_STD_I64LE : H5T_STD_I64BE;
  else throw H5Failure("no HDF5 type for pixels of type " + name);
  return H5Handle(H5Tcopy(base), H5Tclose, "pixel type");
}

// LUMO's code for a pixel type read from a file that does not say it.
std::int32_t LumoTypeOf(hid_t type) {
  const auto size = H5Tget_size(type);
  if (H5Tget_class(type) == H5T_FLOAT) return lumo::kLumoFloat;
  if (H5Tget_sign(type) == H5T_SGN_NONE && size == 1) return lumo::kLumoUnsigned8;
  if (H5Tget_sign(type) == H5T_SGN_NONE && size == 4) return lumo::kLumoUnsigned32;
  return lumo::kLumoInteger;
}

void AddFilter(hid_t creation, Compression compression) {
  switch (compression) {
    case Compression::kNone:
      return;
    case Compression::kLz4:
      // Bytes of equal weight side by side first (HDF5's own shuffle, which
      // every reader has): LZ4 alone finds little to pack in noisy 16-bit pixels.
      Check(H5Pset_shuffle(creation), "shuffle filter");
      Check(H5Pset_filter(creation, kLz4Filter, H5Z_FLAG_MANDATORY, 0, nullptr), "LZ4 filter");
      return;
    case Compression::kBitshuffleLz4: {
      // Block size (0: the filter's own choice) and compression; the filter
      // puts its version and the element size in front when the dataset is made.
      const std::array<unsigned, 2> settings{0, kBitshuffleWithLz4};
      Check(H5Pset_filter(creation, kBitshuffleFilter, H5Z_FLAG_MANDATORY, settings.size(), settings.data()),
            "bitshuffle filter");
      return;
    }
    case Compression::kDeflate:
      Check(H5Pset_shuffle(creation), "shuffle filter");
      Check(H5Pset_deflate(creation, kDeflateLevel), "deflate filter");
      return;
  }
}

H5Handle CreateGroup(hid_t parent, const char* name, const char* nexusClass) {
  H5Handle group(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose,
                 fmt::format("group {}", name));
  WriteAttribute(group.get(), "NX_class", nexusClass);
  return group;
}

// An extendible dataset of `rank` dimensions that starts with 0 rows.
H5Handle CreateRows(hid_t group, const char* name, hid_t type, std::span<const hsize_t> rowShape,
                    std::span<const hsize_t> chunk, hid_t creation) {
  std::array<hsize_t, 3> current{0, 0, 0};
  std::array<hsize_t, 3> maximum{H5S_UNLIMITED, 0, 0};
  for (std::size_t i = 0; i < rowShape.size(); ++i) current[i + 1] = maximum[i + 1] = rowShape[i];
  const int rank = static_cast<int>(rowShape.size() + 1);
  const std::string what = fmt::format("dataset {}", name);
  H5Handle space(H5Screate_simple(rank, current.data(), maximum.data()), H5Sclose, what);
  Check(H5Pset_chunk(creation, rank, chunk.data()), what);
  // Without a fill value a new chunk bypasses the (empty) chunk cache too.
  Check(H5Pset_fill_time(creation, H5D_FILL_TIME_NEVER), what);
  return H5Handle(H5Dcreate2(group, name, type, space.get(), H5P_DEFAULT, creation, H5P_DEFAULT), H5Dclose, what);
}

H5Handle CreateValues(hid_t group, const char* name, hid_t type) {
  auto creation = Plist(H5P_DATASET_CREATE, "dataset properties");
  const std::array<hsize_t, 1> chunk{kValuesPerChunk};
  return CreateRows(group, name, type, {}, chunk, creation.get());
}

}  // namespace

std::optional<Compression> CompressionNamed(const std::string& name) {
  for (auto compression : {Compression::kNone, Compression::kLz4, Compression::kBitshuffleLz4, Compression::kDeflate})
    if (NameOf(compression) == name) return compression;
  return {};
}

std::string NameOf(Compression compression) {
  switch (compression) {
    case Compression::kNone:
      return "none";
    case Compression::kLz4:
      return "lz4";
    case Compression::kBitshuffleLz4:
      return "bitshuffle-lz4";
    case Compression::kDeflate:
      return "deflate";
  }
  return "?";
}

void CheckFilterAvailable(Compression compression) {
  const auto missing = [](const char* filter, H5Z_filter_t id, const char* package) {
    return H5Failure(fmt::format(
        "the HDF5 {} filter (id {}) is not available: install the Debian package {}, or set HDF5_PLUGIN_PATH to the "
        "folder that holds the filter's plugin (default {})",
        filter, id, package, H5_DEFAULT_PLUGINDIR));
  };
  // H5Zfilter_avail also loads a dynamic filter from the plugin folders.
  if (compression == Compression::kLz4 && H5Zfilter_avail(kLz4Filter) <= 0)
    throw missing("LZ4", kLz4Filter, "hdf5-filter-plugin");
  if (compression == Compression::kBitshuffleLz4 && H5Zfilter_avail(kBitshuffleFilter) <= 0)
    throw missing("bitshuffle", kBitshuffleFilter, "bitshuffle");
  if (compression == Compression::kDeflate && H5Zfilter_avail(H5Z_FILTER_DEFLATE) <= 0)
    throw H5Failure("this HDF5 library has no deflate filter");
  Hdf5ErrorMessage();  // a failed plugin search leaves entries behind
}

RecordingWriter::RecordingWriter(const std::string& path, const std::string& stream, const ImageLayout& layout,
                                 Compression compression)
    : path_(path), layout_(layout), direct_(compression == Compression::kNone), pixelType_(PixelFileType(layout)) {
  CheckFilterAvailable(compression);
  // Readers following the file need the newest format (SWMR).
  auto access = Plist(H5P_FILE_ACCESS, "file access properties");
  Check(H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST), "file format");
  // No chunk cache: every write reaches the file at once, before the
  // metadata that counts it, so neither a reader nor a crash ever finds a
  // counted image or value that was never written, and a write that fails
  // (full disk) fails right away.
  Check(H5Pset_cache(access.get(), 0, 0, 0, 1.0), "chunk cache");
  file_ = H5Handle(H5Fcreate(path.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, access.get()), H5Fclose,
                   fmt::format("cannot create {} (an existing file is never overwritten)", path));
  CreateDatasets(stream, compression);
  Check(H5Fstart_swmr_write(file_.get()), fmt::format("{}: starting SWMR writing", path));
  void* handle = nullptr;  // the sec2 driver's file descriptor
  if (H5Fget_vfd_handle(file_.get(), H5P_DEFAULT, &handle) >= 0 && handle)
    writeBehind_.emplace(*static_cast<int*>(handle));
  Hdf5ErrorMessage();
}

RecordingWriter::~RecordingWriter() = default;

void RecordingWriter::CreateDatasets(const std::string& stream, Compression compression) {
  auto entry = CreateGroup(file_.get(), "entry", "NXentry");
  auto group = CreateGroup(entry.get(), "data", "NXdata");
  WriteAttribute(group.get(), "signal", "data");

  auto creation = Plist(H5P_DATASET_CREATE, "dataset properties");
  AddFilter(creation.get(), compression);
  const std::array<hsize_t, 2> imageShape{hsize_t(layout_.height), hsize_t(layout_.width)};
  const std::array<hsize_t, 3> imageChunk{1, imageShape[0], imageShape[1]};
  data_ = CreateRows(group.get(), "data", pixelType_.get(), imageShape, imageChunk, creation.get());
  const hid_t object = data_.get();
  WriteAttribute(object, "stream", stream);
  WriteAttribute(object, "width", layout_.width);
  WriteAttribute(object, "height", layout_.height);
  WriteAttribute(object, "bytes_per_pixel", layout_.bytesPerPixel);
  WriteAttribute(object, "lumo_data_type", layout_.lumoDataType);
  WriteAttribute(object, "pixel_type", PixelTypeName(layout_));
  WriteAttribute(object, "compression", NameOf(compression));
  WriteAttribute(object, "start_time", UtcNow());
  WriteAttribute(object, "software", "vexatoolsRecord " VEXATOOLS_VERSION);

  sequence_ = CreateValues(group.get(), "sequence", H5T_STD_U64LE);
  timestamp_ = CreateValues(group.get(), "timestamp", H5T_STD_U64LE);
  WriteAttribute(timestamp_.get(), "units", "ns since 1970-01-01 UTC, publisher's send time");
  arrival_ = CreateValues(group.get(), "arrival", H5T_STD_U64LE);
  WriteAttribute(arrival_.get(), "units", "ns since 1970-01-01 UTC, arrival at the recorder");
  imageTime_ = CreateValues(group.get(), "image_time", H5T_IEEE_F64LE);
  WriteAttribute(imageTime_.get(), "units", "s since 1970-01-01 UTC, the image's own time stamp");

  auto gapCreation = Plist(H5P_DATASET_CREATE, "dataset properties");
  const std::array<hsize_t, 1> gapShape{kGapColumns};
  const std::array<hsize_t, 2> gapChunk{kGapsPerChunk, kGapColumns};
  gaps_ = CreateRows(group.get(), "gaps", H5T_STD_U64LE, gapShape, gapChunk, gapCreation.get());
  WriteAttribute(gaps_.get(), "columns", "first missed sequence, count, cause");
  WriteAttribute(gaps_.get(), "causes", "0 lost before arrival, 1 dropped: disk too slow, 2 dropped: unreadable");
}

void RecordingWriter::AppendValue(const H5Handle& dataset, hid_t memoryType, const void* value, const char* name) {
  const std::string what = fmt::format("{}: writing {} of image {}", path_, name, images_);
  const std::array<hsize_t, 1> size{images_ + 1};
  Check(H5Dset_extent(dataset.get(), size.data()), what);
  H5Handle space(H5Dget_space(dataset.get()), H5Sclose, what);
  const std::array<hsize_t, 1> start{images_};
  const std::array<hsize_t, 1> one{1};
  Check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, one.data(), nullptr), what);
  H5Handle memory(H5Screate_simple(1, one.data(), nullptr), H5Sclose, what);
  Check(H5Dwrite(dataset.get(), memoryType, memory.get(), space.get(), H5P_DEFAULT, value), what);
}

void RecordingWriter::Append(const ImageEntry& image) {
  if (image.pixels.size() != layout_.ImageBytes())
    throw H5Failure(fmt::format("{}: image {} has {} bytes, not {}", path_, images_, image.pixels.size(),
                                layout_.ImageBytes()));
  try {
    AppendUnchecked(image);
  } catch (const H5Failure&) {
    ShrinkTo(images_, gapRows_);
    throw;
  }
  ++images_;
  if (writeBehind_) {
    try {
      writeBehind_->Advance(static_cast<off_t>(FileSize()), path_);
    } catch (const std::runtime_error& failure) {
      throw H5Failure(failure.what());
    }
  }
}

void RecordingWriter::ShrinkTo(std::uint64_t images, std::uint64_t gapRows) noexcept {
  const std::array<hsize_t, 3> imageSize{images, hsize_t(layout_.height), hsize_t(layout_.width)};
  H5Dset_extent(data_.get(), imageSize.data());
  const hsize_t values = images;
  for (auto* dataset : {&sequence_, &timestamp_, &arrival_, &imageTime_}) H5Dset_extent(dataset->get(), &values);
  const std::array<hsize_t, 2> gapSize{gapRows, kGapColumns};
  H5Dset_extent(gaps_.get(), gapSize.data());
  Hdf5ErrorMessage();
}

void RecordingWriter::AppendUnchecked(const ImageEntry& image) {
  const std::string what = fmt::format("{}: writing image {}", path_, images_);
  const std::array<hsize_t, 3> size{images_ + 1, hsize_t(layout_.height), hsize_t(layout_.width)};
  Check(H5Dset_extent(data_.get(), size.data()), what);
  const std::array<hsize_t, 3> start{images_, 0, 0};
  if (direct_) {
    Check(H5Dwrite_chunk(data_.get(), H5P_DEFAULT, 0, start.data(), image.pixels.size(), image.pixels.data()), what);
  } else {
    // Through the filter pipeline: HDF5 compresses the one chunk.
    H5Handle space(H5Dget_space(data_.get()), H5Sclose, what);
    const std::array<hsize_t, 3> count{1, size[1], size[2]};
    Check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr), what);
    H5Handle memory(H5Screate_simple(3, count.data(), nullptr), H5Sclose, what);
    Check(H5Dwrite(data_.get(), pixelType_.get(), memory.get(), space.get(), H5P_DEFAULT, image.pixels.data()), what);
  }
  AppendValue(sequence_, H5T_NATIVE_UINT64, &image.sequence, "sequence");
  AppendValue(timestamp_, H5T_NATIVE_UINT64, &image.publishTimeNs, "timestamp");
  AppendValue(arrival_, H5T_NATIVE_UINT64, &image.arrivalNs, "arrival");
  AppendValue(imageTime_, H5T_NATIVE_DOUBLE, &image.imageTime, "image_time");
}

void RecordingWriter::AddGap(const Gap& gap) {
  const std::string what = fmt::format("{}: writing gap {}", path_, gapRows_);
  const std::array<hsize_t, 2> size{gapRows_ + 1, kGapColumns};
  Check(H5Dset_extent(gaps_.get(), size.data()), what);
  H5Handle space(H5Dget_space(gaps_.get()), H5Sclose, what);
  const std::array<hsize_t, 2> start{gapRows_, 0};
  const std::array<hsize_t, 2> count{1, kGapColumns};
  Check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr), what);
  H5Handle memory(H5Screate_simple(2, count.data(), nullptr), H5Sclose, what);
  const std::array<std::uint64_t, kGapColumns> row{gap.first, gap.count, static_cast<std::uint64_t>(gap.cause)};
  if (H5Dwrite(gaps_.get(), H5T_NATIVE_UINT64, memory.get(), space.get(), H5P_DEFAULT, row.data()) < 0) {
    const auto reason = Hdf5ErrorMessage();
    ShrinkTo(images_, gapRows_);
    throw H5Failure(what + ": " + reason);
  }
  ++gapRows_;
  missed_ += gap.count;
}

void RecordingWriter::Flush() { Check(H5Fflush(file_.get(), H5F_SCOPE_GLOBAL), fmt::format("{}: flushing", path_)); }

std::uint64_t RecordingWriter::FileSize() const {
  hsize_t size = 0;
  Check(H5Fget_filesize(file_.get(), &size), fmt::format("{}: file size", path_));
  return size;
}

void RecordingWriter::CloseAfterFailure() noexcept {
  for (auto* handle : {&data_, &sequence_, &timestamp_, &arrival_, &imageTime_, &gaps_, &file_}) handle->Reset();
  Hdf5ErrorMessage();
}

void RecordingWriter::Close() {
  if (!file_) return;
  Flush();
  for (auto* dataset : {&data_, &sequence_, &timestamp_, &arrival_, &imageTime_, &gaps_})
    dataset->Close(fmt::format("{}: closing a dataset", path_));
  file_.Close(fmt::format("{}: closing", path_));
  WriteClosingAttributes();
}

// Attributes cannot be added while readers follow the file, so the closed
// file is opened once more, without SWMR, for the closing facts.
void RecordingWriter::WriteClosingAttributes() {
  const std::string what = fmt::format("{}: writing the closing attributes", path_);
  H5Handle file(H5Fopen(path_.c_str(), H5F_ACC_RDWR, H5P_DEFAULT), H5Fclose, what);
  H5Handle data(H5Dopen2(file.get(), "/entry/data/data", H5P_DEFAULT), H5Dclose, what);
  WriteAttribute(data.get(), "end_time", UtcNow());
  WriteAttribute(data.get(), "images", static_cast<std::int64_t>(images_));
  WriteAttribute(data.get(), "missed", static_cast<std::int64_t>(missed_));
  data.Close(what);
  file.Close(what);
}

RecordingReader::RecordingReader(const std::string& path) : path_(path) {
  // A file being written, or cut short while it was, opens only for SWMR
  // reading; files in older formats open only without.
  hid_t id = H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT);
  if (id < 0) {
    Hdf5ErrorMessage();
    id = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  }
  file_ = H5Handle(id, H5Fclose, fmt::format("cannot open {} as an HDF5 file", path));
  data_ = H5Handle(H5Dopen2(file_.get(), "/entry/data/data", H5P_DEFAULT), H5Dclose,
                   fmt::format("{} has no dataset /entry/data/data", path));
  pixelType_ = H5Handle(H5Dget_type(data_.get()), H5Tclose, path);
  H5Handle space(H5Dget_space(data_.get()), H5Sclose, path);
  std::array<hsize_t, 3> dims{};
  const auto typeClass = H5Tget_class(pixelType_.get());
  const auto typeSize = H5Tget_size(pixelType_.get());
  if (H5Sget_simple_extent_ndims(space.get()) != 3 || (typeClass != H5T_INTEGER && typeClass != H5T_FLOAT) ||
      (typeSize != 1 && typeSize != 2 && typeSize != 4 && typeSize != 8))
    throw std::runtime_error(path + ": /entry/data/data is not a stack of images (N, height, width) of numbers");
  H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
  if (dims[1] < 1 || dims[2] < 1 || dims[1] > hsize_t(kMaxPixels) || dims[2] > hsize_t(kMaxPixels) ||
      dims[1] * dims[2] > hsize_t(kMaxPixels))
    throw std::runtime_error(fmt::format("{}: images of {} x {} pixels are not supported", path, dims[2], dims[1]));
  const hid_t object = data_.get();
  layout_.width = static_cast<std::int32_t>(dims[2]);
  layout_.height = static_cast<std::int32_t>(dims[1]);
  layout_.bytesPerPixel = static_cast<std::int32_t>(typeSize);
  layout_.lumoDataType = static_cast<std::int32_t>(
      ReadIntegerAttribute(object, "lumo_data_type").value_or(LumoTypeOf(pixelType_.get())));
  layout_.littleEndian = H5Tget_order(pixelType_.get()) != H5T_ORDER_BE;
  stream_ = ReadStringAttribute(object, "stream");
  images_ = dims[0];

  // The images' own time stamps, when the file has them.
  if (H5Lexists(file_.get(), "/entry/data/image_time", H5P_DEFAULT) > 0) {
    imageTimes_ = H5Handle(H5Dopen2(file_.get(), "/entry/data/image_time", H5P_DEFAULT), H5Dclose, path);
    H5Handle timeSpace(H5Dget_space(imageTimes_.get()), H5Sclose, path);
    if (H5Sget_simple_extent_ndims(timeSpace.get()) == 1)
      H5Sget_simple_extent_dims(timeSpace.get(), &imageTimeCount_, nullptr);
  }
  Hdf5ErrorMessage();
}

void RecordingReader::Read(std::uint64_t index, std::vector<std::uint8_t>& pixels, double& imageTime) {
  const std::string what = fmt::format("{}: reading image {}", path_, index);
  pixels.resize(layout_.ImageBytes());
  H5Handle space(H5Dget_space(data_.get()), H5Sclose, what);
  if (index >= images_) throw H5Failure(fmt::format("{}: there is no image {}", path_, index));
  const std::array<hsize_t, 3> start{index, 0, 0};
  const std::array<hsize_t, 3> count{1, hsize_t(layout_.height), hsize_t(layout_.width)};
  Check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr), what);
  H5Handle memory(H5Screate_simple(3, count.data(), nullptr), H5Sclose, what);
  // The file's own type in memory: the bytes come back as stored.
  Check(H5Dread(data_.get(), pixelType_.get(), memory.get(), space.get(), H5P_DEFAULT, pixels.data()), what);
  imageTime = 0.0;
  if (index < imageTimeCount_) {
    H5Handle timeSpace(H5Dget_space(imageTimes_.get()), H5Sclose, what);
    const hsize_t at = index;
    const hsize_t one = 1;
    Check(H5Sselect_hyperslab(timeSpace.get(), H5S_SELECT_SET, &at, nullptr, &one, nullptr), what);
    H5Handle scalar(H5Screate_simple(1, &one, nullptr), H5Sclose, what);
    Check(H5Dread(imageTimes_.get(), H5T_NATIVE_DOUBLE, scalar.get(), timeSpace.get(), H5P_DEFAULT, &imageTime),
          what);
  }
}

}  // namespace vexatools::record
