/* Installation directory lookup (zelhome, ravhome). */
#ifndef DRAX_ZELHOME_H
#define DRAX_ZELHOME_H

#define ZEL_HOME_DIR "/opt/DRAXipx/bin/"

void zelhome_get(char *buffer);
void ravhome_get(char *buffer);
int dir_locate(const char *name, const char *default_dir, char *result);

#endif
