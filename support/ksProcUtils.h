/*
 * ksProcUtils: readers that take one decimal number out of a pid or value
 * file. Every failure reads as 0 ("no value"); the readers never block.
 */
#ifndef KESTRUN_KSPROCUTILS_H
#define KESTRUN_KSPROCUTILS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The leading unsigned decimal number of the file (white space skipped), or
 * 0 when the file cannot be opened or holds no usable pid. A sign or a value
 * above 2147483647 also reads as 0, so it can never reach a signal call. */
unsigned int get_pid_from_file(const char* path);

/* The leading signed decimal number of the file, or 0 when there is none or
 * it does not fit an int. */
int get_int_from_file(const char* path);

/* The client's pid, from "/etc/ppp/kestrun.pid". */
unsigned int sslvpn_get_kestrun_pid(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUN_KSPROCUTILS_H */
