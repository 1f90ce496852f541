// The launcher's texts, GBK bytes whatever the terminal's encoding.
#pragma once

// "              QM4107 系统命令                    " (system commands)
#define MSG_BANNER_TITLE "              QM4107 \xCF\xB5\xCD\xB3\xC3\xFC\xC1\xEE                    "
// "  用法     : qmems [ start | stop | restart ]    " (usage)
#define MSG_BANNER_USAGE "  \xD3\xC3\xB7\xA8     : qmems [ start | stop | restart ]    "
// "警告: 文件属性错误，请执行如下命令: " (file attributes wrong, run these commands)
#define MSG_NOT_INSTALLED                                                                                              \
    "\xBE\xAF\xB8\xE6: "                                                                                               \
    "\xCE\xC4\xBC\xFE\xCA\xF4\xD0\xD4\xB4\xED\xCE\xF3\xA3\xAC\xC7\xEB\xD6\xB4\xD0\xD0\xC8\xE7\xCF\xC2\xC3\xFC\xC1\xEE" \
    ": "
// "获取 ems 用户信息失败!" (failed to get the ems user information)
#define MSG_NO_EMS "\xBB\xF1\xC8\xA1 ems \xD3\xC3\xBB\xA7\xD0\xC5\xCF\xA2\xCA\xA7\xB0\xDC!"
// "请输入用户密码[ems]: " (enter the user password)
#define MSG_PROMPT "\xC7\xEB\xCA\xE4\xC8\xEB\xD3\xC3\xBB\xA7\xC3\xDC\xC2\xEB[ems]: "
// "用户密码错误!" (user password wrong)
#define MSG_WRONG_PASSWORD "\xD3\xC3\xBB\xA7\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3!"
// "读取密码失败!" (the password could not be read)
#define MSG_NO_PASSWORD "\xB6\xC1\xC8\xA1\xC3\xDC\xC2\xEB\xCA\xA7\xB0\xDC!"
// "ems 用户已过期!" (the ems account has expired)
#define MSG_EXPIRED "ems \xD3\xC3\xBB\xA7\xD2\xD1\xB9\xFD\xC6\xDA!"
// "\t执行文件错误" (error executing the file)
#define MSG_EXEC_FAILED "\t\xD6\xB4\xD0\xD0\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3"
// "\t执行文件错误: 执行被禁止" (error executing the file: execution forbidden)
#define MSG_EXEC_FORBIDDEN MSG_EXEC_FAILED ": \xD6\xB4\xD0\xD0\xB1\xBB\xBD\xFB\xD6\xB9"
// "密码错误次数过多，已锁定，请 %d 分钟后再试!" (too many wrong passwords:
// locked, try again in %d minutes), a printf format
#define MSG_LOCKED_OUT                                                                                                 \
    "\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3\xB4\xCE\xCA\xFD\xB9\xFD\xB6\xE0\xA3\xAC\xD2\xD1\xCB\xF8\xB6\xA8\xA3\xAC"         \
    "\xC7\xEB %d \xB7\xD6\xD6\xD3\xBA\xF3\xD4\xD9\xCA\xD4!"
