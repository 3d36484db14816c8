// The two tables of texts, English and Simplified Chinese, in the order of
// Msg and Note. This file is UTF-8.
#include "messages.h"

namespace {

const char* const kEnglish[] = {
    "%1: %2",
    "sound; %1",
    "needs repair: %1; %2",
    "repaired: %1; %2",
    "; backup %1",
    "; second file saved as %1",
    "packets kept %1, dropped %2",
    "indexed: %1 index chunks, %2 records",
    "index already right: %1 index chunks, %2 records",
    "not repaired: %1",
    "vok: %1: %2",
    "no such file",
    "is a folder, not a file",
    "not a regular file",
    "empty file",
    "read-only file; nothing changed",
    "cannot open: %1; nothing changed",
    "in use by another program; nothing changed (close it and try again)",
    "another vok is working on this file; nothing changed",
    "still being written; nothing changed",
    "not a RealMedia file",
    "a RealAudio stream, not a RealMedia file",
    "the headers are lost; packets start at offset %1; the headers of a file made the same way can "
    "repair it: vok -f --reference GOOD.rm FILE",
    "damaged headers: the header of a stream is lost; vok -f --reference GOOD.rm FILE can repair it",
    "damaged MDPR for stream %1; vok -f --reference GOOD.rm FILE can repair it",
    "damaged headers: two streams numbered %1",
    "damaged headers: no streams",
    "cannot repair the 64-bit RealMedia variant; nothing changed",
    "larger than 4 GiB: its offsets cannot be right; nothing changed",
    "read error: %1",
    "cannot repair safely: no packets found; nothing changed",
    "cannot repair safely: not one video frame or audio block is whole; nothing changed",
    "cannot repair safely: a multirate file would need restructuring; nothing changed",
    "cannot repair safely: the result would be larger than 4 GiB; nothing changed",
    "the reference file %1 is not a sound RealMedia file; nothing changed",
    "the packets do not fit the reference file (%1); nothing changed",
    "no packet of stream %1 found",
    "the packets of stream %1 have other sizes",
    "stream %1 has no keyframes where the reference has them, or the other way round",
    "no RealMedia file beside it was made the same way (%1 looked at): their headers do not fit its packets",
    "its headers could come from more than one file beside it, or none fits it well: %1; name the one "
    "that was made the same way with --reference",
    "the packets do not say for sure what stream %1 is: its headers cannot be rebuilt from them",
    "the packets of stream %1 fit more than one setting of its codec (%2): its headers cannot be rebuilt "
    "from them",
    "cannot create a temporary file: %1; nothing changed",
    "cannot write: %1; nothing changed",
    "cannot make a backup: %1; nothing changed",
    "cannot replace the file: %1; nothing changed",
    "the file changed while vok worked; nothing changed",
    "cannot index: the file needs repair first (vok -f); nothing changed",
    "write failed: %1; the file plays but has no index now; run vok -i again",
    "repaired, but the change may not survive a power cut: %1",
    "repaired, but not all the original's attributes are kept: %1",
    "removed a stale temporary file %1",
    "usage: vok -f [--no-backup] [--reference GOOD.rm] FILE   repair the structure of a RealMedia file\n"
    "       vok -i FILE                 rebuild its seek index\n"
    "       vok --check FILE            say what -f would repair; change nothing\n"
    "       vok --help\n"
    "exit codes: 0 sound or repaired, 1 needs repair (--check), 2 usage error,\n"
    "3 not RealMedia or unreadable, 4 refused (cannot repair safely), 5 write failure\n",
    "Press any key to close",
    "checking %1%",
    "writing %1%",
    "Result for %1:",
    "The original is kept as %1",
    "The file was not repaired: %1",
};

const char* const kChinese[] = {
    "%1：%2",
    "完好；%1",
    "需要修复：%1；%2",
    "已修复：%1；%2",
    "；备份为 %1",
    "；第二个文件另存为 %1",
    "保留数据包 %1 个，丢弃 %2 个",
    "已建立索引：%1 个索引块，%2 条记录",
    "索引完好：%1 个索引块，%2 条记录",
    "未修复：%1",
    "vok：%1：%2",
    "找不到文件",
    "这是文件夹，不是文件",
    "不是普通文件",
    "文件是空的",
    "文件是只读的；未做任何改动",
    "无法打开：%1；未做任何改动",
    "文件正被其他程序（如播放器）使用；未做任何改动，请关闭该程序后重试",
    "另一个 vok 正在处理这个文件；未做任何改动",
    "文件仍在写入中（下载尚未完成？）；未做任何改动",
    "不是 RealMedia 文件",
    "这是 RealAudio 音频流，不是 RealMedia 文件",
    "文件头已丢失，数据包从偏移 %1 开始；可以用同样方式制作的完好文件作参考来修复："
    "vok -f --reference 完好文件.rm 本文件",
    "文件头已损坏：某个流的头已丢失；可以用参考文件修复：vok -f --reference 完好文件.rm 本文件",
    "流 %1 的 MDPR 头已损坏；可以用参考文件修复：vok -f --reference 完好文件.rm 本文件",
    "文件头已损坏：有两个流的编号都是 %1",
    "文件头已损坏：没有任何流",
    "无法修复 64 位的 RealMedia 变体；未做任何改动",
    "文件大于 4 GiB，其中的偏移量不可能正确；未做任何改动",
    "读取出错：%1",
    "无法安全修复：找不到数据包；未做任何改动",
    "无法安全修复：没有一个完整的视频帧或音频块；未做任何改动",
    "无法安全修复：多码率文件需要重新组织；未做任何改动",
    "无法安全修复：修复后的文件将大于 4 GiB；未做任何改动",
    "参考文件 %1 不是完好的 RealMedia 文件；未做任何改动",
    "数据包与参考文件不符（%1）；未做任何改动",
    "找不到流 %1 的数据包",
    "流 %1 的数据包大小不同",
    "流 %1 的关键帧与参考文件不符",
    "同一文件夹中没有同样方式制作的 RealMedia 文件（查看了 %1 个）：它们的文件头与本文件的数据包不符",
    "可能有不止一个同一文件夹中的文件可作参考，或者都不够相符：%1；请用 --reference 指定同样方式制作的那个",
    "无法从数据包确定流 %1 是什么，不能据此重建文件头",
    "流 %1 的数据包与编码器的多种设置都相符（%2），不能据此重建文件头",
    "无法创建临时文件：%1；未做任何改动",
    "无法写入：%1；未做任何改动",
    "无法备份：%1；未做任何改动",
    "无法替换原文件：%1；未做任何改动",
    "处理期间文件被改动了；未做任何改动",
    "无法建立索引：文件需要先修复（vok -f）；未做任何改动",
    "写入失败：%1；文件仍可播放，但现在没有索引；请再运行一次 vok -i",
    "已修复，但断电时这次改动可能丢失：%1",
    "已修复，但原文件的部分属性未能保留：%1",
    "已删除上次遗留的临时文件 %1",
    "用法：vok -f [--no-backup] [--reference 完好文件.rm] 文件   修复 RealMedia 文件的结构\n"
    "      vok -i 文件                 重建定位索引\n"
    "      vok --check 文件            只检查并说明 -f 会修复什么，不改动文件\n"
    "      vok --help\n"
    "退出码：0 完好或已修复，1 需要修复（--check），2 用法错误，\n"
    "3 不是 RealMedia 文件或无法读取，4 拒绝（无法安全修复），5 写入失败\n",
    "按任意键关闭",
    "正在检查 %1%",
    "正在写入 %1%",
    "%1 的修复结果：",
    "原文件已备份为 %1",
    "文件未修复：%1",
};

static_assert(sizeof kEnglish / sizeof *kEnglish == size_t(Msg::kCount), "one English text per Msg");
static_assert(sizeof kChinese / sizeof *kChinese == size_t(Msg::kCount), "one Chinese text per Msg");

// Findings, in the order of Note: the English singular, its plural (where it
// takes a count), and the Chinese.
struct FindingText {
  const char* one;
  const char* many;
  const char* zh;
};

const FindingText kFindings[] = {
    {"%1 bytes of junk before the file header cut", nullptr, "删除文件头之前的 %1 字节无用数据"},
    {"file header rebuilt", nullptr, "重建文件头"},
    {"PROP rebuilt from the packets", nullptr, "根据数据包重建 PROP 头"},
    {"CONT rebuilt (empty)", nullptr, "重建 CONT 头（空）"},
    {"DATA header rebuilt", nullptr, "重建 DATA 头"},
    {"size of the header chunk at %1 fixed", nullptr, "修正偏移 %1 处头块的大小"},
    {"type of stream %1 restored", nullptr, "恢复流 %1 的类型"},
    {"wrong stream count", nullptr, "流的数量错误"},
    {"a second PROP at %1 dropped", nullptr, "删除偏移 %1 处多余的 PROP 头"},
    {"damaged metadata header dropped", nullptr, "删除已损坏的元数据头"},
    {"headers taken from %1", nullptr, "使用 %1 的文件头"},
    {"headers rebuilt from the packets (%1)", nullptr, "根据数据包重建了文件头（%1）"},
    {"1 damaged region", "%1 damaged regions", "%1 处损坏"},
    {"truncated tail", nullptr, "文件末尾不完整"},
    {"zero-filled tail", nullptr, "末尾填充了零"},
    {"junk after the packets", nullptr, "数据包之后有无用数据"},
    {"%1 chained DATA chunks merged", nullptr, "合并 %1 个相连的 DATA 块"},
    {"1 packet with a timestamp out of order dropped", "%1 packets with timestamps out of order dropped",
     "丢弃 %1 个时间戳错乱的数据包"},
    {"1 repeated packet dropped", "%1 repeated packets dropped", "丢弃 %1 个重复的数据包"},
    {"1 packet not of its stream dropped", "%1 packets not of their stream dropped",
     "丢弃 %1 个不属于其所在流的数据包"},
    {"1 incomplete video frame dropped", "%1 incomplete video frames dropped", "丢弃 %1 个不完整的视频帧"},
    {"%1 s of sound in incomplete blocks dropped", nullptr, "丢弃不完整音频块中的 %1 秒声音"},
    {"second file at %1 joined", nullptr, "接上偏移 %1 处的第二个文件"},
    {"a second file follows at %1 (saved as a file of its own)", nullptr,
     "偏移 %1 处另有一个文件（另存为单独的文件）"},
    {"wrong duration", nullptr, "时长错误"},
    {"live flag on a finished file", nullptr, "已完成的文件带有直播标志"},
    {"wrong data_offset", nullptr, "data_offset 错误"},
    {"wrong index_offset", nullptr, "index_offset 错误"},
    {"wrong packet count", nullptr, "数据包数量错误"},
    {"unfinalised header", nullptr, "文件头未写完（录制或转换中断）"},
    {"wrong DATA header", nullptr, "DATA 头错误"},
    {"stale index dropped", nullptr, "删除过时的索引"},
    {"index does not match the packets", nullptr, "索引与数据包不符"},
    {"damaged chunks after the packets", nullptr, "数据包之后的块已损坏"},
};

static_assert(sizeof kFindings / sizeof *kFindings == size_t(Note::DamagedChunksAfter) + 1,
              "one text per Note");

std::string fill(const char* text, const std::vector<std::string>& args) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9' && size_t(p[1] - '1') < args.size()) {
      out += args[size_t(p[1] - '1')];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

std::string message(Lang lang, Msg id, const std::vector<std::string>& args) {
  return fill((lang == Lang::Zh ? kChinese : kEnglish)[size_t(id)], args);
}

std::string finding_text(Lang lang, const Finding& f) {
  const FindingText& t = kFindings[size_t(f.note)];
  const char* text = lang == Lang::Zh ? t.zh : f.a != 1 && t.many ? t.many : t.one;
  if (!f.name.empty()) return fill(text, {f.name});
  if (f.note != Note::SoundLost) return fill(text, {std::to_string(f.a)});
  // Milliseconds, said as seconds to a tenth.
  uint64_t tenths = (f.a + 50) / 100;
  return fill(text, {std::to_string(tenths / 10) + "." + std::to_string(tenths % 10)});
}

std::string findings_text(Lang lang, const std::vector<Finding>& found) {
  std::string s;
  for (const Finding& f : found)
    s += (s.empty() ? "" : lang == Lang::Zh ? "，" : ", ") + finding_text(lang, f);
  return s;
}
