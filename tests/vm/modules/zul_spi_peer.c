// SPDX-License-Identifier: GPL-2.0
/*
 * Test tooling for the virtual machine test, never shipped: a fake SPI
 * controller on bus 0 with one device on chip select 0, which the kernel's
 * own spidev driver takes as /dev/spidev0.0. Every message that reaches the
 * controller goes whole to a user-space peer through /dev/zul_spi_peer,
 * together with the settings the controller received for it; the peer's
 * reply is what the device shifted back.
 *
 * The peer reads one struct zsp_header followed by the bytes sent, then
 * writes exactly as many bytes back. Without a peer, or when it does not
 * answer within a few seconds, the message fails.
 */
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/spi/spi.h>
#include <linux/uaccess.h>
#include <linux/version.h>
#include <linux/wait.h>

#define ZSP_MAX_BYTES 256
#define ZSP_REPLY_TIMEOUT (5 * HZ)

/* Same layout as struct ZspHeader in tests/vm/zul_vm_check.cpp. */
struct zsp_header {
	__u32 seq;
	__u32 mode;	    /* spi->mode: SPI_CPHA, SPI_CPOL, SPI_CS_HIGH, SPI_LSB_FIRST ... */
	__u32 speed_hz;	    /* of the first transfer */
	__u32 max_speed_hz; /* the device's */
	__u16 len;	    /* bytes, all transfers together */
	__u8 bits_per_word; /* of the first transfer */
	__u8 chip_select;
	__u8 transfers;
	__u8 mixed;	/* the transfers differ in speed or word size */
	__u8 cs_change; /* a transfer asks to drop chip select within the message */
	__u8 pad;
};

enum zsp_state { ZSP_IDLE, ZSP_PENDING, ZSP_TAKEN, ZSP_REPLIED };

/* Guarded by lock; the controller's message pump and the peer's read and
 * write meet here, one message at a time. */
static struct {
	struct mutex lock;
	wait_queue_head_t peer_wq; /* the peer waits for a message */
	wait_queue_head_t ctlr_wq; /* the controller waits for the reply */
	bool open;
	enum zsp_state state;
	struct zsp_header header;
	u8 tx[ZSP_MAX_BYTES];
	u8 rx[ZSP_MAX_BYTES];
	u32 seq;
} zsp;

static struct platform_device *zsp_pdev;
static struct spi_controller *zsp_ctlr;
static struct spi_device *zsp_spi;

static bool zsp_state_is(enum zsp_state want)
{
	bool is;

	mutex_lock(&zsp.lock);
	is = zsp.state == want || !zsp.open;
	mutex_unlock(&zsp.lock);
	return is;
}

static int zsp_transfer_one_message(struct spi_controller *ctlr, struct spi_message *m)
{
	struct spi_transfer *t;
	struct zsp_header h = { 0 };
	unsigned int len = 0;
	int status = 0;

	h.mode = m->spi->mode;
	h.max_speed_hz = m->spi->max_speed_hz;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
	/* A device may have several chip selects since 6.3; ours has one. */
	h.chip_select = spi_get_chipselect(m->spi, 0);
#else
	h.chip_select = m->spi->chip_select;
#endif
	mutex_lock(&zsp.lock);
	list_for_each_entry (t, &m->transfers, transfer_list) {
		if (h.transfers == 0) {
			h.bits_per_word = t->bits_per_word;
			h.speed_hz = t->speed_hz;
		} else if (t->bits_per_word != h.bits_per_word || t->speed_hz != h.speed_hz) {
			h.mixed = 1;
		}
		if (t->cs_change && !list_is_last(&t->transfer_list, &m->transfers))
			h.cs_change = 1;
		if (len + t->len > ZSP_MAX_BYTES) {
			status = -EMSGSIZE;
			break;
		}
		if (t->tx_buf)
			memcpy(zsp.tx + len, t->tx_buf, t->len);
		else
			memset(zsp.tx + len, 0, t->len);
		len += t->len;
		h.transfers++;
	}
	if (status == 0 && !zsp.open)
		status = -ENODEV;
	if (status == 0) {
		h.len = len;
		h.seq = ++zsp.seq;
		zsp.header = h;
		zsp.state = ZSP_PENDING;
	}
	mutex_unlock(&zsp.lock);

	if (status == 0) {
		wake_up_interruptible(&zsp.peer_wq);
		wait_event_timeout(zsp.ctlr_wq, zsp_state_is(ZSP_REPLIED), ZSP_REPLY_TIMEOUT);
		mutex_lock(&zsp.lock);
		if (zsp.state == ZSP_REPLIED) {
			len = 0;
			list_for_each_entry (t, &m->transfers, transfer_list) {
				if (t->rx_buf)
					memcpy(t->rx_buf, zsp.rx + len, t->len);
				len += t->len;
			}
			m->actual_length = len;
		} else {
			status = zsp.open ? -ETIMEDOUT : -EPIPE;
		}
		zsp.state = ZSP_IDLE;
		mutex_unlock(&zsp.lock);
	}
	m->status = status;
	spi_finalize_current_message(ctlr);
	return 0;
}

static int zsp_open(struct inode *inode, struct file *file)
{
	int ret = 0;

	mutex_lock(&zsp.lock);
	if (zsp.open)
		ret = -EBUSY;
	else
		zsp.open = true;
	mutex_unlock(&zsp.lock);
	return ret;
}

static int zsp_release(struct inode *inode, struct file *file)
{
	mutex_lock(&zsp.lock);
	zsp.open = false;
	mutex_unlock(&zsp.lock);
	wake_up(&zsp.ctlr_wq);
	return 0;
}

static ssize_t zsp_read(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
	size_t n;
	ssize_t ret;

	for (;;) {
		if (wait_event_interruptible(zsp.peer_wq, zsp_state_is(ZSP_PENDING)))
			return -ERESTARTSYS;
		mutex_lock(&zsp.lock);
		if (zsp.state == ZSP_PENDING)
			break;
		mutex_unlock(&zsp.lock);
	}
	n = sizeof(zsp.header) + zsp.header.len;
	if (count < n) {
		ret = -EINVAL;
	} else if (copy_to_user(buf, &zsp.header, sizeof(zsp.header)) ||
		   copy_to_user(buf + sizeof(zsp.header), zsp.tx, zsp.header.len)) {
		ret = -EFAULT;
	} else {
		zsp.state = ZSP_TAKEN;
		ret = n;
	}
	mutex_unlock(&zsp.lock);
	return ret;
}

static ssize_t zsp_write(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
	ssize_t ret = count;

	mutex_lock(&zsp.lock);
	if (zsp.state != ZSP_TAKEN)
		ret = -EPROTO;
	else if (count != zsp.header.len)
		ret = -EINVAL;
	else if (copy_from_user(zsp.rx, buf, count))
		ret = -EFAULT;
	else
		zsp.state = ZSP_REPLIED;
	mutex_unlock(&zsp.lock);
	if (ret >= 0)
		wake_up(&zsp.ctlr_wq);
	return ret;
}

static const struct file_operations zsp_fops = {
	.owner = THIS_MODULE,
	.open = zsp_open,
	.release = zsp_release,
	.read = zsp_read,
	.write = zsp_write,
	.llseek = noop_llseek,
};

static struct miscdevice zsp_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "zul_spi_peer",
	.fops = &zsp_fops,
};

static int __init zsp_init(void)
{
	/* A name from spidev's own table: spidev no longer takes a bare
	 * "spidev". The device starts in mode 3 at 1 MHz with 16-bit words,
	 * as another program may have left it, so that the settings the
	 * test sees are the ones its program asked for. */
	struct spi_board_info info = {
		.modalias = "dh2228fv",
		.max_speed_hz = 1000000,
		.bus_num = 0,
		.chip_select = 0,
		.mode = SPI_MODE_3,
	};
	int ret;

	mutex_init(&zsp.lock);
	init_waitqueue_head(&zsp.peer_wq);
	init_waitqueue_head(&zsp.ctlr_wq);
	ret = misc_register(&zsp_misc);
	if (ret)
		return ret;
	zsp_pdev = platform_device_register_simple("zul-spi-peer", -1, NULL, 0);
	if (IS_ERR(zsp_pdev)) {
		ret = PTR_ERR(zsp_pdev);
		goto err_misc;
	}
	zsp_ctlr = spi_alloc_master(&zsp_pdev->dev, 0);
	if (!zsp_ctlr) {
		ret = -ENOMEM;
		goto err_pdev;
	}
	zsp_ctlr->bus_num = 0;
	zsp_ctlr->num_chipselect = 1;
	zsp_ctlr->mode_bits = SPI_CPOL | SPI_CPHA | SPI_CS_HIGH | SPI_LSB_FIRST | SPI_3WIRE;
	zsp_ctlr->bits_per_word_mask = SPI_BPW_RANGE_MASK(1, 32);
	zsp_ctlr->max_speed_hz = 50000000;
	zsp_ctlr->transfer_one_message = zsp_transfer_one_message;
	ret = spi_register_controller(zsp_ctlr);
	if (ret) {
		spi_controller_put(zsp_ctlr);
		goto err_pdev;
	}
	zsp_spi = spi_new_device(zsp_ctlr, &info);
	if (!zsp_spi) {
		ret = -ENODEV;
		goto err_ctlr;
	}
	zsp_spi->bits_per_word = 16;
	return 0;

err_ctlr:
	spi_unregister_controller(zsp_ctlr);
err_pdev:
	platform_device_unregister(zsp_pdev);
err_misc:
	misc_deregister(&zsp_misc);
	return ret;
}

static void __exit zsp_exit(void)
{
	spi_unregister_device(zsp_spi);
	spi_unregister_controller(zsp_ctlr);
	platform_device_unregister(zsp_pdev);
	misc_deregister(&zsp_misc);
}

module_init(zsp_init);
module_exit(zsp_exit);
MODULE_DESCRIPTION("Fake SPI controller whose device answers from user space (test tooling)");
MODULE_LICENSE("GPL");
