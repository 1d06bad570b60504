// Placeholder: the log facility is being written; tables only for now.
#include "kslog.h"

extern "C" {
const char* const kslogPriorityStrings[KSLOG_PRIORITY_COUNT] = {
    "KSLOG_TRACE", "KSLOG_DEBUG", "KSLOG_INFO", "KSLOG_NOTICE",
    "KSLOG_WARN",  "KSLOG_ERROR", "KSLOG_FATAL"};
const char* const kslogPriorityNames[KSLOG_PRIORITY_COUNT] = {
    "trace", "debug", "info", "notice", "warn", "error", "fatal"};
const char* const kslogCategoryStrings[KSLOG_CATEGORY_COUNT] = {
    "KSLOG_GENERAL", "KSLOG_CONNECT", "KSLOG_AUTH", "KSLOG_TRAFFIC", "KSLOG_ROUTING", "KSLOG_DNS",
    "KSLOG_HTTPS",   "KSLOG_JNI",     "KSLOG_GUI",  "KSLOG_CONFIG",  "KSLOG_EPC"};
const char* const kslogCategoryNames[KSLOG_CATEGORY_COUNT] = {
    "general", "connect", "auth", "traffic", "routing", "dns",
    "https",   "jni",     "gui",  "config",  "epc"};
const char* const kslogCategoryTitles[KSLOG_CATEGORY_COUNT] = {
    "General", "Connection", "Authentication", "Traffic", "Routing",         "DNS",
    "HTTPS",   "JNI",        "GUI",            "Configuration", "Endpoint Control"};

void kslogInit(void) {}
void kslogCleanup(void) {}
void kslogWrite_private(int, int, const char*, ...) {}
int kslogGetPriority(int) { return 0; }
void kslogSetPriority(int, int) {}
void kslogSetPriorityStr(const char*, const char*) {}
int kslogCategoryWithName(const char*) { return -1; }
int kslogPriorityWithName(const char*) { return -1; }
void kslogRotate(void) {}
}
