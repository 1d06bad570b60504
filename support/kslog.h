/*
 * kslog: the Kestrun products' shared log facility.
 *
 * Every process of the product appends to one per-user log file, found
 * through the shared link "/tmp/kestRun.log". Entries are filtered by a
 * level per category, serialised between processes with an exclusive
 * flock on the file, and the file is rolled to "<log>.0" above 10 MiB.
 *
 * This header is shared with the C client: C types only.
 */
#ifndef KESTRUN_KSLOG_H
#define KESTRUN_KSLOG_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum KslogPriority {
    KSLOG_TRACE = 0,
    KSLOG_DEBUG = 1,
    KSLOG_INFO = 2,
    KSLOG_NOTICE = 3,
    KSLOG_WARN = 4,
    KSLOG_ERROR = 5,
    KSLOG_FATAL = 6
} KslogPriority;

typedef enum KslogCategory {
    KSLOG_GENERAL = 0,
    KSLOG_CONNECT = 1,
    KSLOG_AUTH = 2,
    KSLOG_TRAFFIC = 3,
    KSLOG_ROUTING = 4,
    KSLOG_DNS = 5,
    KSLOG_HTTPS = 6,
    KSLOG_JNI = 7,
    KSLOG_GUI = 8,
    KSLOG_CONFIG = 9,
    KSLOG_EPC = 10
} KslogCategory;

#define KSLOG_PRIORITY_COUNT 7
#define KSLOG_CATEGORY_COUNT 11

/* Names indexed by KslogPriority: "KSLOG_TRACE"... and "trace"... */
extern const char* const kslogPriorityStrings[KSLOG_PRIORITY_COUNT];
extern const char* const kslogPriorityNames[KSLOG_PRIORITY_COUNT];
/* Names indexed by KslogCategory: "KSLOG_GENERAL"..., "general"..., "General"... */
extern const char* const kslogCategoryStrings[KSLOG_CATEGORY_COUNT];
extern const char* const kslogCategoryNames[KSLOG_CATEGORY_COUNT];
extern const char* const kslogCategoryTitles[KSLOG_CATEGORY_COUNT];

/* Sets every level to info (or KSLOGPRIORITY), finds or creates the log
 * file and the shared link. Call once, first. */
void kslogInit(void);

/* Resets the levels to info, forgets the file names and removes the shared
 * link when it is this process's own. Registered with atexit by kslogInit
 * when it found no shared link. */
void kslogCleanup(void);

/* Appends one entry. Call through KSLOG_IF_ENABLED so that disabled entries
 * are never formatted. Never fails visibly: a lost entry is dropped. */
void kslogWrite_private(int priority, int category, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* The level of a category; a category out of range answers for general. */
int kslogGetPriority(int category);

/* Sets one category's level; out-of-range values are ignored. A change is
 * logged as "Changed <category> log priority to <priority>". */
void kslogSetPriority(int category, int priority);

/* The same by constant names ("KSLOG_DNS", "KSLOG_WARN"), matched exactly. */
void kslogSetPriorityStr(const char* category, const char* priority);

/* Index of a short name ("dns", "warn"), matched exactly; -1 when absent or
 * unknown (a null name included). */
int kslogCategoryWithName(const char* name);
int kslogPriorityWithName(const char* name);

/* Moves the log file to the roll file now. */
void kslogRotate(void);

/* The log-if-enabled rule: the level is checked before anything is
 * formatted, so a disabled entry costs one comparison. */
#define KSLOG_IF_ENABLED(priority, category, ...)                    \
    do {                                                             \
        if (kslogGetPriority(category) <= (int)(priority))           \
            kslogWrite_private((priority), (category), __VA_ARGS__); \
    } while (0)

/* Debug entries start with the calling function's name and a colon. */
#define KSLOG_DEBUG_FN(category, format, ...) \
    KSLOG_IF_ENABLED(KSLOG_DEBUG, (category), "%s:" format, __func__, ##__VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* KESTRUN_KSLOG_H */
