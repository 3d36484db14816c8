#include "report/messages.h"

#include "platform/platform.h"

// 设置完成 VOK伴侣1.3 作者:vokxp, then the credit lines. The lines are
// separated by a bare CR, which the message box breaks on; there is no
// trailing break.
const char kCompletionText[] =
    "\xC9\xE8\xD6\xC3\xCD\xEA\xB3\xC9"  // 设置完成
    " VOK"
    "\xB0\xE9\xC2\xC2"  // 伴侣
    "1.3 "
    "\xD7\xF7\xD5\xDF"  // 作者
    ":vokxp"
    "\r"
    "http://www.example.org/vokxp/"
    "\r"
    "QQ:00000000  vokxp@example.org";

// 注册表删除信息完成
const char kRemovalText[] = "\xD7\xA2\xB2\xE1\xB1\xED\xC9\xBE\xB3\xFD\xD0\xC5\xCF\xA2\xCD\xEA\xB3\xC9";

// Blank title bars: the captions are empty strings, not missing ones.
void show_completion_message() { plat::message_box(kCompletionText, "", 0); }

void show_removal_message() { plat::message_box(kRemovalText, "", 0); }
