#include <gtest/gtest.h>

#include "core/TextHelpers.h"
#include "disk/ImagingForm.h"

using namespace brenvik;

namespace {

ImagingForm ImageToFileForm() {
  ImagingForm form;
  form.sourceListEmpty = false;
  form.sourceTips = MakeTipsText({u"", u"/data/disk 1.img", u"disk 1.img", u"100"});
  form.sourceStart = u"0";
  form.sourceSize = u"100";
  form.sourceSector = u"520";
  form.targetFileChecked = true;
  form.targetFilePath = u"/out/target.img";
  form.targetStart = u"0";
  form.targetSector = u"512";
  return form;
}

ValidatedImagingForm Validate(const ImagingForm& form, std::span<const std::unique_ptr<ScsiDevice>> devices = {}) {
  return ValidateImagingForm(form, devices, [](int n) { return std::filesystem::path("/dev/node" + std::to_string(n)); });
}

}  // namespace

TEST(ImagingTips, TextRoundTripsAndMissingBracketsFail) {
  const std::u16string text = MakeTipsText({u"0#2#0", u"SEAGATE ST3300657SS", u"3LM0X", u"585937500"});
  EXPECT_EQ(text, u"[0#2#0] [SEAGATE ST3300657SS] [3LM0X] [585937500]");
  const auto fields = ParseTipsText(text);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->address, u"0#2#0");
  EXPECT_EQ(fields->device, u"SEAGATE ST3300657SS");
  EXPECT_EQ(fields->serial, u"3LM0X");
  EXPECT_EQ(fields->size, u"585937500");
  EXPECT_TRUE(ParseTipsText(u"[] [a] [] [1]"));
  EXPECT_FALSE(ParseTipsText(u""));
  EXPECT_FALSE(ParseTipsText(u"[#1] [model] [serial] [1"));
  EXPECT_FALSE(ParseTipsText(u"[#1] [model] [serial]"));
}

TEST(ImagingTips, NumbersAreReadLikeTheirLeadingDigits) {
  EXPECT_EQ(ParseLeadingInteger(u"  -12abc"), -12);
  EXPECT_EQ(ParseLeadingInteger(u"+7"), 7);
  EXPECT_EQ(ParseLeadingInteger(u"abc"), 0);
  EXPECT_EQ(ParseLeadingInteger(u""), 0);
  EXPECT_EQ(ParseLeadingInteger(u"99999999999999999999999"), INT64_MAX);
}

TEST(ImagingValidation, RefusalsComeInTheirOrder) {
  ImagingForm form = ImageToFileForm();
  form.sourceListEmpty = true;
  EXPECT_EQ(Validate(form).error, u"请先刷新设备");
  form = ImageToFileForm();
  form.sourceTips = u"";
  EXPECT_EQ(Validate(form).error, u"请选择源设备");
  form = ImageToFileForm();
  form.targetFilePath = u"";
  EXPECT_EQ(Validate(form).error, u"请选择目标文件");
  form = ImageToFileForm();
  form.targetFileChecked = false;
  form.targetTips = u"";
  EXPECT_EQ(Validate(form).error, u"请选择目标设备");
  form.targetTips = MakeTipsText({u"", u"/x.img", u"x.img", u"5"});
  EXPECT_EQ(Validate(form).error, u"目标设备选择错误");

  // Count against target size: larger refused, equal accepted.
  form.targetTips = MakeTipsText({u"#3", u"WDC", u"WX1", u"1000"});
  form.targetSize = u"99";
  EXPECT_EQ(Validate(form).error, u"源设备镜像的大小 大于 目标设备大小");
  form.targetSize = u"100";
  form.targetStart = u"5";
  const ValidatedImagingForm disk = Validate(form);
  EXPECT_EQ(disk.error, u"");
  EXPECT_EQ(disk.parameters.targetDisk, 3);
  EXPECT_EQ(disk.parameters.targetDiskNode, "/dev/node3");
  EXPECT_EQ(disk.parameters.targetStart, 5);
  EXPECT_EQ(disk.parameters.targetSize, 100);
  EXPECT_FALSE(disk.copySourceSizeToTargetSize);

  form = ImageToFileForm();
  form.sourceSector = u"511";
  EXPECT_EQ(Validate(form).error, u"请正确填写扇区大小");
  form = ImageToFileForm();
  form.targetSector = u"511";
  EXPECT_EQ(Validate(form).error, u"请正确填写扇区大小");
  form.targetSector = u"1000000";  // would ask for gigabytes of buffer
  EXPECT_EQ(Validate(form).error, u"请正确填写扇区大小");
}

TEST(ImagingValidation, TheTipsAddressChoosesImageDiskOrScsiDevice) {
  const ValidatedImagingForm image = Validate(ImageToFileForm());
  ASSERT_EQ(image.error, u"");
  EXPECT_EQ(image.parameters.sourceImage, "/data/disk 1.img");
  EXPECT_EQ(image.parameters.sourceDisk, -1);
  EXPECT_EQ(image.parameters.sourceCount, 100);
  EXPECT_EQ(image.parameters.sourceSectorSize, 520);
  EXPECT_EQ(image.parameters.targetFile, "/out/target.img");
  EXPECT_EQ(image.parameters.targetSize, 100);  // the source count stands for the file's size
  EXPECT_TRUE(image.copySourceSizeToTargetSize);

  ImagingForm form = ImageToFileForm();
  form.sourceTips = MakeTipsText({u"#12", u"ATA DISK", u"S1", u"100"});
  const ValidatedImagingForm disk = Validate(form);
  EXPECT_EQ(disk.parameters.sourceDisk, 12);
  EXPECT_EQ(disk.parameters.sourceDiskNode, "/dev/node12");

  std::vector<std::unique_ptr<ScsiDevice>> devices;
  for (int target : {1, 2, 3}) {
    auto d = std::make_unique<ScsiDevice>();
    d->address = {0, target, 0};
    d->deviceType = target == 1 ? 5 : 0;  // a CD drive is never chosen
    d->displayName = "SEAGATE ST3300657SS";
    d->serial = u"3LM0X";
    d->blockCount = 100;
    devices.push_back(std::move(d));
  }
  devices[0]->address = {0, 2, 0};
  form.sourceTips = MakeTipsText({u"0#2#0", u"SEAGATE ST3300657SS", u"3LM0X", u"100"});
  const ValidatedImagingForm chosen = Validate(form, devices);
  ASSERT_TRUE(chosen.parameters.sourceScsi);
  EXPECT_EQ(chosen.parameters.sourceScsi->address, devices[1]->address);
  form.sourceTips = MakeTipsText({u"0#3#0", u"SEAGATE ST3300657SS", u"3LM0X", u"101"});
  const ValidatedImagingForm gone = Validate(form, devices);
  EXPECT_EQ(gone.error, u"");  // no match leaves the source unset: the run fails opening it
  EXPECT_FALSE(gone.parameters.sourceScsi);
  EXPECT_TRUE(gone.parameters.sourceImage.empty());
}

TEST(ImagingDisplays, SpeedAndRemainingTime) {
  EXPECT_EQ(FormatRemainingTime(60), u"60秒");
  EXPECT_EQ(FormatRemainingTime(61), u"1分1秒");
  EXPECT_EQ(FormatRemainingTime(3600), u"60分0秒");
  EXPECT_EQ(FormatRemainingTime(3601), u"1时0分1秒");
  EXPECT_EQ(FormatRemainingTime(86401), u"1天0时0分1秒");
  EXPECT_EQ(FormatRemainingTime(0), u"0秒");
  EXPECT_EQ(RateSizeText(0), u"");
  EXPECT_EQ(RateSizeText(1023), u"1023.0 Bytes");
  EXPECT_EQ(RateSizeText(1536), u"1.5 KB");

  // Nothing measurable yet: only the LBA.
  ImagingDisplays d = ComputeDisplays(5120, 0, 10240, 520, 0);
  EXPECT_EQ(d.lba, u"5120");
  EXPECT_FALSE(d.speed);
  EXPECT_FALSE(d.time);
  // 5120 sectors in 2 s: 2560 sectors/s x 520 bytes; 5120 left take 2 s.
  d = ComputeDisplays(5120, 0, 10240, 520, 2);
  EXPECT_EQ(d.speed, u"1.3 MB / s");
  EXPECT_EQ(d.time, u"2秒");
  d = ComputeDisplays(100, 100, 50, 520, 3);
  EXPECT_FALSE(d.speed);
}
