// The tag table of the EXIF reader (TIFF 6.0 baseline tags, CIPA DC-008 Exif, GPS and
// interoperability tags) with the label tables of the enumerated ones.
#include "tags.hpp"

#include <algorithm>
#include <array>

namespace trawl::exif {

namespace {

constexpr std::array compression_label_list = {
    Label{1, "uncompressed"},
    Label{2, "Modified Huffman"},
    Label{6, "JPEG"},
    Label{32773, "PackBits"},
};
constexpr LabelTable compression_labels{"compression", compression_label_list};

constexpr std::array photometric_label_list = {
    Label{0, "white is zero"}, Label{1, "black is zero"},     Label{2, "RGB"},
    Label{3, "palette color"}, Label{4, "transparency mask"}, Label{6, "YCbCr"},
};
constexpr LabelTable photometric_labels{"photometric interpretation", photometric_label_list};

constexpr std::array orientation_label_list = {
    Label{1, "row 0 at top and column 0 at left"},
    Label{2, "row 0 at top and column 0 at right"},
    Label{3, "row 0 at bottom and column 0 at right"},
    Label{4, "row 0 at bottom and column 0 at left"},
    Label{5, "row 0 at left and column 0 at top"},
    Label{6, "row 0 at right and column 0 at top"},
    Label{7, "row 0 at right and column 0 at bottom"},
    Label{8, "row 0 at left and column 0 at bottom"},
};
constexpr LabelTable orientation_labels{"orientation", orientation_label_list};

constexpr std::array planar_label_list = {
    Label{1, "chunky"},
    Label{2, "planar"},
};
constexpr LabelTable planar_labels{"planar configuration", planar_label_list};

constexpr std::array resolution_unit_label_list = {
    Label{1, "no absolute unit"},
    Label{2, "inch"},
    Label{3, "cm"},
};
constexpr LabelTable resolution_unit_labels{"resolution unit", resolution_unit_label_list};

constexpr std::array ycbcr_positioning_label_list = {
    Label{1, "centered"},
    Label{2, "co-sited"},
};
constexpr LabelTable ycbcr_positioning_labels{"YCbCr positioning", ycbcr_positioning_label_list};

constexpr std::array exposure_program_label_list = {
    Label{0, "not defined"},       Label{1, "manual"},           Label{2, "normal program"},
    Label{3, "aperture priority"}, Label{4, "shutter priority"}, Label{5, "creative program"},
    Label{6, "action program"},    Label{7, "portrait mode"},    Label{8, "landscape mode"},
};
constexpr LabelTable exposure_program_labels{"exposure program", exposure_program_label_list};

constexpr std::array sensitivity_type_label_list = {
    Label{0, "unknown"},       Label{1, "SOS"},
    Label{2, "REI"},           Label{3, "ISO speed"},
    Label{4, "SOS/REI"},       Label{5, "SOS/ISO speed"},
    Label{6, "REI/ISO speed"}, Label{7, "SOS/REI/ISO speed"},
};
constexpr LabelTable sensitivity_type_labels{"sensitivity type", sensitivity_type_label_list};

constexpr std::array metering_mode_label_list = {
    Label{0, "unknown"}, Label{1, "average"},    Label{2, "center-weighted average"},
    Label{3, "spot"},    Label{4, "multi-spot"}, Label{5, "pattern"},
    Label{6, "partial"}, Label{255, "other"},
};
constexpr LabelTable metering_mode_labels{"metering mode", metering_mode_label_list};

constexpr std::array light_source_label_list = {
    Label{0, "unknown"},
    Label{1, "daylight"},
    Label{2, "fluorescent"},
    Label{3, "tungsten"},
    Label{4, "flash"},
    Label{9, "fine weather"},
    Label{10, "cloudy weather"},
    Label{11, "shade"},
    Label{12, "daylight fluorescent (D 5700-7100K)"},
    Label{13, "day white fluorescent (N 4600-5500K)"},
    Label{14, "cool white fluorescent (W 3800-4500K)"},
    Label{15, "white fluorescent (WW 3250-3800K)"},
    Label{16, "warm white fluorescent (L 2600-3250K)"},
    Label{17, "standard light A"},
    Label{18, "standard light B"},
    Label{19, "standard light C"},
    Label{20, "D55"},
    Label{21, "D65"},
    Label{22, "D75"},
    Label{23, "D50"},
    Label{24, "ISO studio tungsten"},
    Label{255, "other"},
};
constexpr LabelTable light_source_labels{"light source", light_source_label_list};

constexpr std::array color_space_label_list = {
    Label{1, "sRGB"},
    Label{65535, "uncalibrated"},
};
constexpr LabelTable color_space_labels{"color space", color_space_label_list};

constexpr std::array sensing_method_label_list = {
    Label{1, "not defined"},
    Label{2, "one-chip color area sensor"},
    Label{3, "two-chip color area sensor"},
    Label{4, "three-chip color area sensor"},
    Label{5, "color sequential area sensor"},
    Label{7, "trilinear sensor"},
    Label{8, "color sequential linear sensor"},
};
constexpr LabelTable sensing_method_labels{"sensing method", sensing_method_label_list};

constexpr std::array custom_rendered_label_list = {
    Label{0, "normal process"},
    Label{1, "custom process"},
};
constexpr LabelTable custom_rendered_labels{"custom rendered", custom_rendered_label_list};

constexpr std::array exposure_mode_label_list = {
    Label{0, "auto exposure"},
    Label{1, "manual exposure"},
    Label{2, "auto bracket"},
};
constexpr LabelTable exposure_mode_labels{"exposure mode", exposure_mode_label_list};

constexpr std::array white_balance_label_list = {
    Label{0, "auto white balance"},
    Label{1, "manual white balance"},
};
constexpr LabelTable white_balance_labels{"white balance mode", white_balance_label_list};

constexpr std::array scene_capture_label_list = {
    Label{0, "standard"},
    Label{1, "landscape"},
    Label{2, "portrait"},
    Label{3, "night scene"},
};
constexpr LabelTable scene_capture_labels{"scene capture type", scene_capture_label_list};

constexpr std::array gain_control_label_list = {
    Label{0, "none"},          Label{1, "low gain up"},    Label{2, "high gain up"},
    Label{3, "low gain down"}, Label{4, "high gain down"},
};
constexpr LabelTable gain_control_labels{"gain control", gain_control_label_list};

constexpr std::array contrast_label_list = {
    Label{0, "normal"},
    Label{1, "soft"},
    Label{2, "hard"},
};
constexpr LabelTable contrast_labels{"contrast processing", contrast_label_list};

constexpr std::array saturation_label_list = {
    Label{0, "normal"},
    Label{1, "low saturation"},
    Label{2, "high saturation"},
};
constexpr LabelTable saturation_labels{"saturation processing", saturation_label_list};

constexpr std::array sharpness_label_list = {
    Label{0, "normal"},
    Label{1, "soft"},
    Label{2, "hard"},
};
constexpr LabelTable sharpness_labels{"sharpness processing", sharpness_label_list};

constexpr std::array subject_distance_range_label_list = {
    Label{0, "unknown"},
    Label{1, "macro"},
    Label{2, "close view"},
    Label{3, "distant view"},
};
constexpr LabelTable subject_distance_range_labels{"subject distance range",
                                                   subject_distance_range_label_list};

constexpr std::array composite_image_label_list = {
    Label{0, "unknown"},
    Label{1, "non-composite"},
    Label{2, "composite (general)"},
    Label{3, "composite (at the moment of shooting)"},
};
constexpr LabelTable composite_image_labels{"composite image", composite_image_label_list};

constexpr std::array gps_altitude_ref_label_list = {
    Label{0, "above sea level"},
    Label{1, "below sea level"},
};
constexpr LabelTable gps_altitude_ref_labels{"GPS altitude ref", gps_altitude_ref_label_list};

constexpr std::array gps_differential_label_list = {
    Label{0, "no differential correction"},
    Label{1, "differential correction applied"},
};
constexpr LabelTable gps_differential_labels{"GPS differential correction",
                                             gps_differential_label_list};

constexpr std::array file_source_label_list = {
    Label{0, "others"},
    Label{1, "transparency scanner"},
    Label{2, "reflective scanner"},
    Label{3, "digital still camera"},
};
constexpr LabelTable file_source_labels{"file source", file_source_label_list};

constexpr std::array scene_type_label_list = {
    Label{1, "directly photographed image"},
};
constexpr LabelTable scene_type_labels{"scene type", scene_type_label_list};

constexpr std::array gps_status_label_list = {
    Label{'A', "measurement in progress"},
    Label{'V', "measurement interrupted"},
};
constexpr LabelTable gps_status_labels{"GPS status", gps_status_label_list};

constexpr std::array gps_measure_mode_label_list = {
    Label{'2', "2-dimensional measurement"},
    Label{'3', "3-dimensional measurement"},
};
constexpr LabelTable gps_measure_mode_labels{"GPS measurement mode", gps_measure_mode_label_list};

constexpr std::array gps_speed_ref_label_list = {
    Label{'K', "km/h"},
    Label{'M', "mph"},
    Label{'N', "knots"},
};
constexpr LabelTable gps_speed_ref_labels{"GPS speed ref", gps_speed_ref_label_list};

constexpr std::array gps_direction_ref_label_list = {
    Label{'T', "true direction"},
    Label{'M', "magnetic direction"},
};
constexpr LabelTable gps_direction_ref_labels{"GPS direction ref", gps_direction_ref_label_list};

constexpr std::array gps_distance_ref_label_list = {
    Label{'K', "km"},
    Label{'M', "miles"},
    Label{'N', "nautical miles"},
};
constexpr LabelTable gps_distance_ref_labels{"GPS distance ref", gps_distance_ref_label_list};

// Sorted by context, then number.
constexpr std::array tags = {
    TagInfo{{Context::Tiff, 256}, "ImageWidth", Rule::Default, nullptr, {"", " pixels", {}, {}}},
    TagInfo{{Context::Tiff, 257}, "ImageLength", Rule::Default, nullptr, {"", " pixels", {}, {}}},
    TagInfo{{Context::Tiff, 258}, "BitsPerSample", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 259}, "Compression", Rule::Enum, &compression_labels, {}},
    TagInfo{{Context::Tiff, 262}, "PhotometricInterpretation", Rule::Enum, &photometric_labels, {}},
    TagInfo{{Context::Tiff, 270}, "ImageDescription", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 271}, "Make", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 272}, "Model", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 273}, "StripOffsets", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 274}, "Orientation", Rule::Enum, &orientation_labels, {}},
    TagInfo{{Context::Tiff, 277}, "SamplesPerPixel", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 278}, "RowsPerStrip", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 279}, "StripByteCounts", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 282},
            "XResolution",
            Rule::Decimal,
            nullptr,
            {"", " pixels per ", {Context::Tiff, 296}, "inch"}},
    TagInfo{{Context::Tiff, 283},
            "YResolution",
            Rule::Decimal,
            nullptr,
            {"", " pixels per ", {Context::Tiff, 296}, "inch"}},
    TagInfo{{Context::Tiff, 284}, "PlanarConfiguration", Rule::Enum, &planar_labels, {}},
    TagInfo{{Context::Tiff, 296}, "ResolutionUnit", Rule::Enum, &resolution_unit_labels, {}},
    TagInfo{{Context::Tiff, 301}, "TransferFunction", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 305}, "Software", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 306}, "DateTime", Rule::Datetime, nullptr, {}},
    TagInfo{{Context::Tiff, 315}, "Artist", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 318}, "WhitePoint", Rule::Decimal, nullptr, {}},
    TagInfo{{Context::Tiff, 319}, "PrimaryChromaticities", Rule::Decimal, nullptr, {}},
    TagInfo{{Context::Tiff, 324}, "TileOffsets", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 325}, "TileByteCounts", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 513}, "JPEGInterchangeFormat", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 514}, "JPEGInterchangeFormatLength", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 529}, "YCbCrCoefficients", Rule::Decimal, nullptr, {}},
    TagInfo{{Context::Tiff, 530}, "YCbCrSubSampling", Rule::YcbcrSubsampling, nullptr, {}},
    TagInfo{{Context::Tiff, 531}, "YCbCrPositioning", Rule::Enum, &ycbcr_positioning_labels, {}},
    TagInfo{{Context::Tiff, 532}, "ReferenceBlackWhite", Rule::Decimal, nullptr, {}},
    TagInfo{{Context::Tiff, 33432}, "Copyright", Rule::Default, nullptr, {}},
    TagInfo{{Context::Tiff, 34665}, "ExifIFDPointer", Rule::Pointer, nullptr, {}},
    TagInfo{{Context::Tiff, 34853}, "GPSInfoIFDPointer", Rule::Pointer, nullptr, {}},
    TagInfo{
        {Context::Exif, 33434}, "ExposureTime", Rule::ExposureTime, nullptr, {"", " s", {}, {}}},
    TagInfo{{Context::Exif, 33437}, "FNumber", Rule::Decimal, nullptr, {"f/", "", {}, {}}},
    TagInfo{{Context::Exif, 34850}, "ExposureProgram", Rule::Enum, &exposure_program_labels, {}},
    TagInfo{{Context::Exif, 34852}, "SpectralSensitivity", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 34855}, "PhotographicSensitivity", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 34856}, "OECF", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 34864}, "SensitivityType", Rule::Enum, &sensitivity_type_labels, {}},
    TagInfo{{Context::Exif, 34865}, "StandardOutputSensitivity", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 34866}, "RecommendedExposureIndex", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 34867}, "ISOSpeed", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 34868}, "ISOSpeedLatitudeyyy", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 34869}, "ISOSpeedLatitudezzz", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 36864}, "ExifVersion", Rule::Version, nullptr, {}},
    TagInfo{{Context::Exif, 36867}, "DateTimeOriginal", Rule::Datetime, nullptr, {}},
    TagInfo{{Context::Exif, 36868}, "DateTimeDigitized", Rule::Datetime, nullptr, {}},
    TagInfo{{Context::Exif, 36880}, "OffsetTime", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 36881}, "OffsetTimeOriginal", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 36882}, "OffsetTimeDigitized", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 37121}, "ComponentsConfiguration", Rule::Components, nullptr, {}},
    TagInfo{{Context::Exif, 37122}, "CompressedBitsPerPixel", Rule::Decimal, nullptr, {}},
    TagInfo{
        {Context::Exif, 37377}, "ShutterSpeedValue", Rule::Decimal, nullptr, {"", " EV", {}, {}}},
    TagInfo{{Context::Exif, 37378}, "ApertureValue", Rule::Decimal, nullptr, {"", " EV", {}, {}}},
    TagInfo{{Context::Exif, 37379},
            "BrightnessValue",
            Rule::DecimalFirstUnknown,
            nullptr,
            {"", " EV", {}, {}}},
    TagInfo{
        {Context::Exif, 37380}, "ExposureBiasValue", Rule::Decimal, nullptr, {"", " EV", {}, {}}},
    TagInfo{
        {Context::Exif, 37381}, "MaxApertureValue", Rule::Decimal, nullptr, {"", " EV", {}, {}}},
    TagInfo{{Context::Exif, 37382},
            "SubjectDistance",
            Rule::SubjectDistance,
            nullptr,
            {"", " m", {}, {}}},
    TagInfo{{Context::Exif, 37383}, "MeteringMode", Rule::Enum, &metering_mode_labels, {}},
    TagInfo{{Context::Exif, 37384}, "LightSource", Rule::Enum, &light_source_labels, {}},
    TagInfo{{Context::Exif, 37385}, "Flash", Rule::Flash, nullptr, {}},
    TagInfo{{Context::Exif, 37386}, "FocalLength", Rule::Decimal, nullptr, {"", " mm", {}, {}}},
    TagInfo{{Context::Exif, 37396}, "SubjectArea", Rule::SubjectArea, nullptr, {}},
    TagInfo{{Context::Exif, 37500}, "MakerNote", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 37510}, "UserComment", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 37520}, "SubSecTime", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 37521}, "SubSecTimeOriginal", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 37522}, "SubSecTimeDigitized", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 37888},
            "Temperature",
            Rule::DecimalFirstUnknown,
            nullptr,
            {"", " degC", {}, {}}},
    TagInfo{
        {Context::Exif, 37889}, "Humidity", Rule::DecimalFirstUnknown, nullptr, {"", " %", {}, {}}},
    TagInfo{{Context::Exif, 37890},
            "Pressure",
            Rule::DecimalFirstUnknown,
            nullptr,
            {"", " hPa", {}, {}}},
    TagInfo{{Context::Exif, 37891},
            "WaterDepth",
            Rule::DecimalFirstUnknown,
            nullptr,
            {"", " m", {}, {}}},
    TagInfo{{Context::Exif, 37892},
            "Acceleration",
            Rule::DecimalFirstUnknown,
            nullptr,
            {"", " mGal", {}, {}}},
    TagInfo{{Context::Exif, 37893},
            "CameraElevationAngle",
            Rule::DecimalFirstUnknown,
            nullptr,
            {"", " deg", {}, {}}},
    TagInfo{{Context::Exif, 40960}, "FlashpixVersion", Rule::Version, nullptr, {}},
    TagInfo{{Context::Exif, 40961}, "ColorSpace", Rule::Enum, &color_space_labels, {}},
    TagInfo{
        {Context::Exif, 40962}, "PixelXDimension", Rule::Default, nullptr, {"", " pixels", {}, {}}},
    TagInfo{
        {Context::Exif, 40963}, "PixelYDimension", Rule::Default, nullptr, {"", " pixels", {}, {}}},
    TagInfo{{Context::Exif, 40964}, "RelatedSoundFile", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 40965}, "InteropIFDPointer", Rule::Pointer, nullptr, {}},
    TagInfo{{Context::Exif, 41483}, "FlashEnergy", Rule::Decimal, nullptr, {"", " BCPS", {}, {}}},
    TagInfo{{Context::Exif, 41484}, "SpatialFrequencyResponse", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 41486},
            "FocalPlaneXResolution",
            Rule::Decimal,
            nullptr,
            {"", " pixels per ", {Context::Exif, 41488}, "inch"}},
    TagInfo{{Context::Exif, 41487},
            "FocalPlaneYResolution",
            Rule::Decimal,
            nullptr,
            {"", " pixels per ", {Context::Exif, 41488}, "inch"}},
    TagInfo{{Context::Exif, 41488},
            "FocalPlaneResolutionUnit",
            Rule::Enum,
            &resolution_unit_labels,
            {}},
    TagInfo{{Context::Exif, 41492}, "SubjectLocation", Rule::SubjectArea, nullptr, {}},
    TagInfo{{Context::Exif, 41493}, "ExposureIndex", Rule::Decimal, nullptr, {}},
    TagInfo{{Context::Exif, 41495}, "SensingMethod", Rule::Enum, &sensing_method_labels, {}},
    TagInfo{{Context::Exif, 41728}, "FileSource", Rule::UndefEnum, &file_source_labels, {}},
    TagInfo{{Context::Exif, 41729}, "SceneType", Rule::UndefEnum, &scene_type_labels, {}},
    TagInfo{{Context::Exif, 41730}, "CFAPattern", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 41985}, "CustomRendered", Rule::Enum, &custom_rendered_labels, {}},
    TagInfo{{Context::Exif, 41986}, "ExposureMode", Rule::Enum, &exposure_mode_labels, {}},
    TagInfo{{Context::Exif, 41987}, "WhiteBalance", Rule::Enum, &white_balance_labels, {}},
    TagInfo{{Context::Exif, 41988}, "DigitalZoomRatio", Rule::DigitalZoom, nullptr, {}},
    TagInfo{{Context::Exif, 41989},
            "FocalLengthIn35mmFilm",
            Rule::FocalLength35,
            nullptr,
            {"", " mm", {}, {}}},
    TagInfo{{Context::Exif, 41990}, "SceneCaptureType", Rule::Enum, &scene_capture_labels, {}},
    TagInfo{{Context::Exif, 41991}, "GainControl", Rule::Enum, &gain_control_labels, {}},
    TagInfo{{Context::Exif, 41992}, "Contrast", Rule::Enum, &contrast_labels, {}},
    TagInfo{{Context::Exif, 41993}, "Saturation", Rule::Enum, &saturation_labels, {}},
    TagInfo{{Context::Exif, 41994}, "Sharpness", Rule::Enum, &sharpness_labels, {}},
    TagInfo{{Context::Exif, 41995}, "DeviceSettingDescription", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 41996},
            "SubjectDistanceRange",
            Rule::Enum,
            &subject_distance_range_labels,
            {}},
    TagInfo{{Context::Exif, 42016}, "ImageUniqueID", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 42032}, "CameraOwnerName", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 42033}, "BodySerialNumber", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 42034}, "LensSpecification", Rule::LensSpec, nullptr, {}},
    TagInfo{{Context::Exif, 42035}, "LensMake", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 42036}, "LensModel", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 42037}, "LensSerialNumber", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 42080}, "CompositeImage", Rule::Enum, &composite_image_labels, {}},
    TagInfo{{Context::Exif, 42081},
            "SourceImageNumberOfCompositeImage",
            Rule::CompositeCount,
            nullptr,
            {}},
    TagInfo{
        {Context::Exif, 42082}, "SourceExposureTimesOfCompositeImage", Rule::Default, nullptr, {}},
    TagInfo{{Context::Exif, 42240}, "Gamma", Rule::Decimal, nullptr, {}},
    TagInfo{{Context::Gps, 0}, "GPSVersionID", Rule::GpsVersion, nullptr, {}},
    TagInfo{{Context::Gps, 1}, "GPSLatitudeRef", Rule::GpsRefLetter, nullptr, {}},
    TagInfo{{Context::Gps, 2},
            "GPSLatitude",
            Rule::GpsDms,
            nullptr,
            {"", " ", {Context::Gps, 1}, "[GPSLatitudeRef missing]"}},
    TagInfo{{Context::Gps, 3}, "GPSLongitudeRef", Rule::GpsRefLetter, nullptr, {}},
    TagInfo{{Context::Gps, 4},
            "GPSLongitude",
            Rule::GpsDms,
            nullptr,
            {"", " ", {Context::Gps, 3}, "[GPSLongitudeRef missing]"}},
    TagInfo{{Context::Gps, 5}, "GPSAltitudeRef", Rule::Enum, &gps_altitude_ref_labels, {}},
    TagInfo{{Context::Gps, 6},
            "GPSAltitude",
            Rule::Decimal,
            nullptr,
            {"", " meters ", {Context::Gps, 5}, "above sea level"}},
    TagInfo{{Context::Gps, 7}, "GPSTimeStamp", Rule::GpsTime, nullptr, {}},
    TagInfo{{Context::Gps, 8}, "GPSSatellites", Rule::Default, nullptr, {}},
    TagInfo{{Context::Gps, 9}, "GPSStatus", Rule::AsciiEnum, &gps_status_labels, {}},
    TagInfo{{Context::Gps, 10}, "GPSMeasureMode", Rule::AsciiEnum, &gps_measure_mode_labels, {}},
    TagInfo{{Context::Gps, 11}, "GPSDOP", Rule::Decimal, nullptr, {}},
    TagInfo{{Context::Gps, 12}, "GPSSpeedRef", Rule::AsciiEnum, &gps_speed_ref_labels, {}},
    TagInfo{{Context::Gps, 13},
            "GPSSpeed",
            Rule::Decimal,
            nullptr,
            {"", " ", {Context::Gps, 12}, "km/h"}},
    TagInfo{{Context::Gps, 14}, "GPSTrackRef", Rule::AsciiEnum, &gps_direction_ref_labels, {}},
    TagInfo{{Context::Gps, 15},
            "GPSTrack",
            Rule::Decimal,
            nullptr,
            {"", " degrees in ", {Context::Gps, 14}, "true direction"}},
    TagInfo{
        {Context::Gps, 16}, "GPSImgDirectionRef", Rule::AsciiEnum, &gps_direction_ref_labels, {}},
    TagInfo{{Context::Gps, 17},
            "GPSImgDirection",
            Rule::Decimal,
            nullptr,
            {"", " degrees in ", {Context::Gps, 16}, "true direction"}},
    TagInfo{{Context::Gps, 18}, "GPSMapDatum", Rule::Default, nullptr, {}},
    TagInfo{{Context::Gps, 19}, "GPSDestLatitudeRef", Rule::GpsRefLetter, nullptr, {}},
    TagInfo{{Context::Gps, 20},
            "GPSDestLatitude",
            Rule::GpsDms,
            nullptr,
            {"", " ", {Context::Gps, 19}, "[GPSDestLatitudeRef missing]"}},
    TagInfo{{Context::Gps, 21}, "GPSDestLongitudeRef", Rule::GpsRefLetter, nullptr, {}},
    TagInfo{{Context::Gps, 22},
            "GPSDestLongitude",
            Rule::GpsDms,
            nullptr,
            {"", " ", {Context::Gps, 21}, "[GPSDestLongitudeRef missing]"}},
    TagInfo{
        {Context::Gps, 23}, "GPSDestBearingRef", Rule::AsciiEnum, &gps_direction_ref_labels, {}},
    TagInfo{{Context::Gps, 24},
            "GPSDestBearing",
            Rule::Decimal,
            nullptr,
            {"", " degrees in ", {Context::Gps, 23}, "true direction"}},
    TagInfo{
        {Context::Gps, 25}, "GPSDestDistanceRef", Rule::AsciiEnum, &gps_distance_ref_labels, {}},
    TagInfo{{Context::Gps, 26},
            "GPSDestDistance",
            Rule::Decimal,
            nullptr,
            {"", " ", {Context::Gps, 25}, "km"}},
    TagInfo{{Context::Gps, 27}, "GPSProcessingMethod", Rule::UndefinedAsText, nullptr, {}},
    TagInfo{{Context::Gps, 28}, "GPSAreaInformation", Rule::Default, nullptr, {}},
    TagInfo{{Context::Gps, 29}, "GPSDateStamp", Rule::GpsDate, nullptr, {}},
    TagInfo{{Context::Gps, 30}, "GPSDifferential", Rule::Enum, &gps_differential_labels, {}},
    TagInfo{{Context::Gps, 31}, "GPSHPositioningError", Rule::Decimal, nullptr, {"", " m", {}, {}}},
    TagInfo{{Context::Interop, 1}, "InteroperabilityIndex", Rule::Default, nullptr, {}},
    TagInfo{{Context::Interop, 2}, "InteroperabilityVersion", Rule::InteropVersion, nullptr, {}},
    TagInfo{{Context::Interop, 4096}, "RelatedImageFileFormat", Rule::Default, nullptr, {}},
    TagInfo{{Context::Interop, 4097},
            "RelatedImageWidth",
            Rule::Default,
            nullptr,
            {"", " pixels", {}, {}}},
    TagInfo{{Context::Interop, 4098},
            "RelatedImageLength",
            Rule::Default,
            nullptr,
            {"", " pixels", {}, {}}},
};

constexpr auto order(Tag t) noexcept {
  return (static_cast<std::uint32_t>(t.context) << 16U) | t.number;
}

static_assert(std::is_sorted(tags.begin(), tags.end(), [](const TagInfo& a, const TagInfo& b) {
  return order(a.tag) < order(b.tag);
}));

} // namespace

const TagInfo* find_tag(Tag tag) noexcept {
  const auto* it = std::lower_bound(
      tags.begin(), tags.end(), order(tag),
      [](const TagInfo& info, std::uint32_t key) { return order(info.tag) < key; });
  return it != tags.end() && it->tag == tag ? &*it : nullptr;
}

} // namespace trawl::exif
