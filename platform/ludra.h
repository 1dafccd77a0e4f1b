/* Card-access library of the card platform (libludra.so.1).
 *
 * Attach/detach the card, read its firmware version and identification,
 * map address windows and read/write local-bus words and MDIO registers.
 * Every status result is 0 on success and non-zero on failure. */
#ifndef ORVIK_PLATFORM_LUDRA_H
#define ORVIK_PLATFORM_LUDRA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles: a device is filled by vq_attach_noex, a space (one mapped
 * window of the card's address space) by vq_space_map. */
typedef struct vq_device *vq_dev_t;
typedef struct vq_space *vq_space_t;

/* Opens the card at path; 0 when *dev is a valid handle. */
int vq_attach_noex(vq_dev_t *dev, const char *path);
/* Releases the handle and sets *dev to NULL. */
void vq_detach(vq_dev_t *dev);

uint32_t vq_firmware_get(vq_dev_t dev);

/* Sets the six pointers to NUL-terminated texts owned by the card library:
 * board name, board subtype, interface 0 card and chip, interface 1 card
 * and chip.  They stay valid until the detach.  Returns 0. */
int vq_identify_cv2(vq_dev_t dev, const char **board, const char **subtype,
                    const char **if0_card, const char **if0_chip,
                    const char **if1_card, const char **if1_chip);

/* Maps a window at base: size 0 is a local-bus window, 16 an MDIO window.
 * flags and reserved are 0.  Returns 0 when *space is mapped. */
int vq_space_map(vq_dev_t dev, vq_space_t *space, uint32_t flags, uint32_t size,
                 uint32_t base, uint32_t reserved);
/* Releases *space (a NULL space is accepted) and sets it to NULL. */
void vq_space_unmap(vq_dev_t dev, vq_space_t *space);

uint32_t vq_space_read_4(vq_dev_t dev, vq_space_t space, uint32_t offset);
void vq_space_write_4(vq_dev_t dev, vq_space_t space, uint32_t offset,
                      uint32_t value);

/* MDIO register reg of MDIO device mdiodev behind the window; port is 0. */
uint16_t vq_mdio_read(vq_dev_t dev, vq_space_t space, uint32_t port,
                      uint32_t mdiodev, uint32_t reg);
void vq_mdio_write(vq_dev_t dev, vq_space_t space, uint32_t port,
                   uint32_t mdiodev, uint32_t reg, uint16_t value);

#ifdef __cplusplus
}
#endif

#endif
