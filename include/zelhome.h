/* Installation directory lookup (zelhome, ravhome). */
#ifndef DRAX_ZELHOME_H
#define DRAX_ZELHOME_H

#define ZEL_HOME_DIR "/opt/DRAXipx/bin/"

void zelhome_get(char *buffer);
void ravhome_get(char *buffer);
/* result must hold 512 bytes. */
int dir_locate(const char *name, const char *default_dir, char *result);
/* Directory of dir_locate's configuration files, "/etc/morvane/". */
extern const char *dir_confdir;

#endif
