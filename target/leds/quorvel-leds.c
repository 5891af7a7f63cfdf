// SPDX-License-Identifier: GPL-2.0
/*
 * Simulated board lights for the target test system.
 *
 * Registers the LED class devices of one board profile, chosen with the
 * "profile" parameter in the ledsim tool's words (a layout, "rgb" or "amber",
 * followed by any of the features, each after a "+": ledsim_vocabulary.h,
 * generated from ledsim's list of them), and the extra integer attributes the
 * lights modules write:
 *
 *   red/device/{blink,grpfreq,grppwm}   on the LEDs' parent device (RGB boards;
 *                                       grpfreq and grppwm unless no-blink-timing)
 *   amber/blink, jogball-backlight/blink, lcd-backlight/auto
 *
 * There is no hardware behind the lights: the LED core keeps each brightness
 * (clamped to max_brightness) and every extra attribute keeps the integer last
 * written to it, parsed with kstrtoint() so that a malformed value is refused
 * exactly as the kernel refuses it elsewhere.
 *
 * The "faults" parameter breaks files the way a driver in bring-up does, with
 * ledsim's FILE=KIND words ("red/device/grpfreq=enospc,amber/blink=missing"):
 * missing (no such file), readonly (no store: an open for writing fails with
 * EACCES, root included), enospc and eio (every store fails, the value stays)
 * and short (the store takes one byte less than it was given).
 *
 * Every store to a file of the board, brightness included, is kept in order in
 * a journal that debugfs shows as quorvel-leds/journal, in ledsim's words:
 *
 *   write /sys/class/leds/red/brightness "255\n" = 4
 */

#include <linux/debugfs.h>
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/leds.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/sysfs.h>

/* The profile and fault words, generated from ledsim's list of them. */
#include "ledsim_vocabulary.h"

#define QLEDS_MAX_BRIGHTNESS	255
#define QLEDS_MAX_LIGHTS	8
/* A brightness per light, blink, grpfreq, grppwm and at most two blinks and auto. */
#define QLEDS_MAX_FILES		(QLEDS_MAX_LIGHTS + 6)
/* Far more than one lights command writes; later stores are counted, not kept. */
#define QLEDS_JOURNAL_MAX	1024
/* The modules write at most 12 bytes ("-2147483648\n"); longer writes are cut. */
#define QLEDS_JOURNAL_BYTES	32

#define QLEDS_FAULT_ID(word, id) QLEDS_##id,
#define QLEDS_FAULT_NAME(word, id) [QLEDS_##id] = word,

enum qleds_fault {
	QLEDS_HEALTHY,
	LEDSIM_DRIVER_FAULTS(QLEDS_FAULT_ID)
};

static const char *const qleds_fault_names[] = {
	[QLEDS_HEALTHY] = "healthy",
	LEDSIM_DRIVER_FAULTS(QLEDS_FAULT_NAME)
};

/* Its flags are the fields the words of the vocabulary name. */
struct qleds_profile {
	bool amber;
	bool trackball;
	bool blink_timing;
	bool lcd_auto;
};

/* One word of a profile: it sets one flag of struct qleds_profile to a value. */
struct qleds_word {
	const char *name;
	size_t flag;			/* offset in struct qleds_profile */
	bool value;
};

#define QLEDS_WORD(word, field, val) \
	{ .name = word, .flag = offsetof(struct qleds_profile, field), .value = val },

static const struct qleds_word qleds_layouts[] = {
	LEDSIM_PROFILE_LAYOUTS(QLEDS_WORD)
};

static const struct qleds_word qleds_features[] = {
	LEDSIM_PROFILE_FEATURES(QLEDS_WORD)
};

/*
 * One attribute file of the board. Brightness files stand in for the LED
 * core's own, whose show and store they call, so that every store can be
 * broken and journalled while the core still keeps the value.
 */
struct qleds_file {
	char *path;			/* under /sys/class/leds, "red/device/grpfreq" */
	struct device *dev;
	struct device_attribute attr;
	const struct device_attribute *core;	/* the LED core's brightness */
	enum qleds_fault fault;
	bool created;
	int value;			/* an extra attribute's integer */
};

struct qleds_write {
	const struct qleds_file *file;
	char bytes[QLEDS_JOURNAL_BYTES];
	unsigned int size;		/* as given, may exceed what bytes holds */
	int result;
};

struct qleds_chip {
	struct platform_device *pdev;
	struct qleds_profile profile;
	unsigned int count;
	struct led_classdev lights[QLEDS_MAX_LIGHTS];
	unsigned int file_count;
	struct qleds_file files[QLEDS_MAX_FILES];
	struct dentry *debugfs;
	struct mutex journal_lock;	/* guards the journal below */
	struct qleds_write *journal;
	unsigned int journal_count;
	unsigned long journal_dropped;
};

static char *profile = "rgb";
module_param(profile, charp, 0444);
MODULE_PARM_DESC(profile,
		 "board profile: " LEDSIM_PROFILE_LAYOUT_WORDS ", then any of "
		 LEDSIM_PROFILE_FEATURE_WORDS);

static char *faults = "";
module_param(faults, charp, 0444);
MODULE_PARM_DESC(faults,
		 "FILE=KIND,... with KIND " LEDSIM_DRIVER_FAULT_WORDS
		 "; FILE as under /sys/class/leds");

static struct qleds_chip *chip;

/* Sets the flag that PART names among the COUNT WORDS; -EINVAL if none does. */
static int qleds_apply_word(const struct qleds_word *words, size_t count, const char *part,
			    struct qleds_profile *out)
{
	size_t i;

	for (i = 0; i < count; i++) {
		if (!strcmp(part, words[i].name)) {
			*(bool *)((char *)out + words[i].flag) = words[i].value;
			return 0;
		}
	}
	return -EINVAL;
}

static int qleds_parse_profile(const char *text, struct qleds_profile *out)
{
	char *copy, *rest, *part;
	int ret;

	copy = kstrdup(text, GFP_KERNEL);
	if (!copy)
		return -ENOMEM;
	rest = strim(copy);

	out->amber = false;
	out->trackball = false;
	out->blink_timing = true;
	out->lcd_auto = false;

	part = strsep(&rest, "+");
	ret = qleds_apply_word(qleds_layouts, ARRAY_SIZE(qleds_layouts), part, out);
	while (!ret && (part = strsep(&rest, "+")))
		ret = qleds_apply_word(qleds_features, ARRAY_SIZE(qleds_features), part, out);

	kfree(copy);
	return ret;
}

/* The journal */

static void qleds_journal_add(const struct qleds_file *file, const char *buf, size_t size,
			      ssize_t result)
{
	struct qleds_write *entry;

	mutex_lock(&chip->journal_lock);
	if (chip->journal_count == QLEDS_JOURNAL_MAX) {
		chip->journal_dropped++;
	} else {
		entry = &chip->journal[chip->journal_count++];
		entry->file = file;
		entry->size = min_t(size_t, size, UINT_MAX);
		memcpy(entry->bytes, buf, min_t(size_t, size, QLEDS_JOURNAL_BYTES));
		entry->result = result;
	}
	mutex_unlock(&chip->journal_lock);
}

/* The errors a store gives, by name as ledsim's journal shows them. */
static const struct {
	int err;
	const char *name;
} qleds_errno_names[] = {
	{ -ENOENT, "-ENOENT" },
	{ -EACCES, "-EACCES" },
	{ -ENOSPC, "-ENOSPC" },
	{ -EIO, "-EIO" },
	{ -EINVAL, "-EINVAL" },
	{ -ERANGE, "-ERANGE" },
	{ -EBUSY, "-EBUSY" },
	{ -ENOMEM, "-ENOMEM" },
	{ -EPERM, "-EPERM" },
};

static const char *qleds_errno_name(int err)
{
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(qleds_errno_names); i++) {
		if (qleds_errno_names[i].err == err)
			return qleds_errno_names[i].name;
	}
	return NULL;
}

/* The bytes quoted as ledsim quotes them, so that both journals compare as text. */
static void qleds_quote(struct seq_file *m, const struct qleds_write *entry)
{
	unsigned int shown = min_t(unsigned int, entry->size, QLEDS_JOURNAL_BYTES);
	unsigned int i;

	seq_putc(m, '"');
	for (i = 0; i < shown; i++) {
		unsigned char c = entry->bytes[i];

		if (c == '\n')
			seq_puts(m, "\\n");
		else if (c == '"' || c == '\\')
			seq_printf(m, "\\%c", c);
		else if (c >= 0x20 && c < 0x7f)
			seq_putc(m, c);
		else
			seq_printf(m, "\\x%02x", c);
	}
	seq_putc(m, '"');
	if (entry->size > shown)
		seq_printf(m, "...(%u bytes)", entry->size);
}

static int qleds_journal_show(struct seq_file *m, void *unused)
{
	const struct qleds_write *entry;
	const char *name;
	unsigned int i;

	mutex_lock(&chip->journal_lock);
	for (i = 0; i < chip->journal_count; i++) {
		entry = &chip->journal[i];
		seq_printf(m, "write /sys/class/leds/%s ", entry->file->path);
		qleds_quote(m, entry);
		name = qleds_errno_name(entry->result);
		if (name)
			seq_printf(m, " = %s\n", name);
		else
			seq_printf(m, " = %d\n", entry->result);
	}
	if (chip->journal_dropped)
		seq_printf(m, "dropped %lu writes after the first %u\n", chip->journal_dropped,
			   QLEDS_JOURNAL_MAX);
	mutex_unlock(&chip->journal_lock);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(qleds_journal);

/* The attribute files */

static struct qleds_file *to_qleds_file(struct device_attribute *attr)
{
	return container_of(attr, struct qleds_file, attr);
}

static ssize_t qleds_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct qleds_file *file = to_qleds_file(attr);

	if (file->core)
		return file->core->show(dev, (struct device_attribute *)file->core, buf);
	return sysfs_emit(buf, "%d\n", READ_ONCE(file->value));
}

/* Stores SIZE bytes of BUF, which holds a NUL right after them. */
static ssize_t qleds_take(struct qleds_file *file, const char *buf, size_t size)
{
	int value;
	int ret;

	if (file->core)
		return file->core->store(file->dev, (struct device_attribute *)file->core, buf, size);
	ret = kstrtoint(buf, 10, &value);
	if (ret)
		return ret;
	WRITE_ONCE(file->value, value);
	return size;
}

static ssize_t qleds_store(struct device *dev, struct device_attribute *attr, const char *buf,
			   size_t size)
{
	struct qleds_file *file = to_qleds_file(attr);
	char *shorter;
	ssize_t ret;

	/* Every kind by name: a kind added to the list and not handled is a warning. */
	switch (file->fault) {
	case QLEDS_WRITE_ENOSPC:
		ret = -ENOSPC;
		break;
	case QLEDS_WRITE_EIO:
		ret = -EIO;
		break;
	case QLEDS_SHORT_WRITE:
		/* A store of no bytes would be taken as the end of the file: keep nothing. */
		if (size <= 1) {
			ret = 0;
			break;
		}
		shorter = kmemdup_nul(buf, size - 1, GFP_KERNEL);
		ret = shorter ? qleds_take(file, shorter, size - 1) : -ENOMEM;
		kfree(shorter);
		break;
	case QLEDS_HEALTHY:
	case QLEDS_MISSING:
	case QLEDS_READ_ONLY:
		ret = qleds_take(file, buf, size);
		break;
	}
	qleds_journal_add(file, buf, size, ret);
	return ret;
}

/* The LED core's own brightness attribute, found in the class's groups by name. */
static const struct device_attribute *qleds_core_brightness(struct device *dev)
{
	const struct attribute_group *const *group;
	struct attribute *const *attr;

	for (group = dev->class ? dev->class->dev_groups : NULL; group && *group; group++) {
		if ((*group)->name)
			continue;
		for (attr = (*group)->attrs; attr && *attr; attr++) {
			if (!strcmp((*attr)->name, "brightness"))
				return container_of(*attr, struct device_attribute, attr);
		}
	}
	return NULL;
}

static int qleds_add_file(struct device *dev, const char *light, const char *name,
			  const struct device_attribute *core)
{
	struct qleds_file *file;

	if (WARN_ON(chip->file_count >= QLEDS_MAX_FILES))
		return -ENOSPC;
	file = &chip->files[chip->file_count];
	file->path = kasprintf(GFP_KERNEL, "%s/%s", light, name);
	if (!file->path)
		return -ENOMEM;
	file->dev = dev;
	file->core = core;
	sysfs_attr_init(&file->attr.attr);
	/* The last part of the path, which lives as long as the file does. */
	file->attr.attr.name = file->path + strlen(light) + 1;
	file->attr.show = qleds_show;
	file->attr.store = qleds_store;
	chip->file_count++;
	return 0;
}

/* Lists every file the profile has; none of them is in sysfs yet. */
static int qleds_list_files(void)
{
	const struct qleds_profile *p = &chip->profile;
	const struct device_attribute *core;
	struct led_classdev *cdev;
	unsigned int i;
	int ret = 0;

	for (i = 0; !ret && i < chip->count; i++) {
		cdev = &chip->lights[i];
		core = qleds_core_brightness(cdev->dev);
		if (!core || !core->show || !core->store) {
			dev_err(&chip->pdev->dev, "the LED class has no brightness attribute\n");
			return -ENODEV;
		}
		ret = qleds_add_file(cdev->dev, cdev->name, "brightness", core);
		if (!ret && (!strcmp(cdev->name, "amber") || !strcmp(cdev->name, "jogball-backlight")))
			ret = qleds_add_file(cdev->dev, cdev->name, "blink", NULL);
		if (!ret && !strcmp(cdev->name, "lcd-backlight") && p->lcd_auto)
			ret = qleds_add_file(cdev->dev, cdev->name, "auto", NULL);
	}
	if (!ret && !p->amber)
		ret = qleds_add_file(&chip->pdev->dev, "red/device", "blink", NULL);
	if (!ret && !p->amber && p->blink_timing)
		ret = qleds_add_file(&chip->pdev->dev, "red/device", "grpfreq", NULL);
	if (!ret && !p->amber && p->blink_timing)
		ret = qleds_add_file(&chip->pdev->dev, "red/device", "grppwm", NULL);
	return ret;
}

static int qleds_apply_fault(const char *path, const char *kind)
{
	struct qleds_file *file = NULL;
	unsigned int i;
	int fault;

	fault = match_string(qleds_fault_names, ARRAY_SIZE(qleds_fault_names), kind);
	if (fault <= QLEDS_HEALTHY) {
		/*
		 * ledsim's eacces and close-eio have no sysfs counterpart: an open
		 * is refused only for a file without store, which is readonly, and
		 * closing an attribute file cannot fail.
		 */
		pr_err("quorvel-leds: fault \"%s\" is not " LEDSIM_DRIVER_FAULT_WORDS "\n", kind);
		return -EINVAL;
	}
	for (i = 0; i < chip->file_count; i++) {
		if (!strcmp(chip->files[i].path, path))
			file = &chip->files[i];
	}
	if (!file) {
		pr_err("quorvel-leds: /sys/class/leds/%s is not a file of board profile %s\n", path,
		       profile);
		return -EINVAL;
	}
	if (file->fault != QLEDS_HEALTHY) {
		pr_err("quorvel-leds: /sys/class/leds/%s has a fault already\n", path);
		return -EINVAL;
	}
	file->fault = fault;
	return 0;
}

static int qleds_parse_faults(const char *text)
{
	char *copy, *rest, *word, *kind;
	int ret = 0;

	copy = kstrdup(text, GFP_KERNEL);
	if (!copy)
		return -ENOMEM;
	rest = strim(copy);
	while (!ret && rest && *rest) {
		word = strsep(&rest, ",");
		kind = strrchr(word, '=');
		if (!kind || kind == word) {
			pr_err("quorvel-leds: fault \"%s\" is not FILE=KIND\n", word);
			ret = -EINVAL;
			break;
		}
		*kind++ = '\0';
		ret = qleds_apply_fault(word, kind);
	}
	kfree(copy);
	return ret;
}

/*
 * Puts each file into sysfs with the mode its fault gives it; a brightness
 * file takes the place of the LED core's.
 */
static int qleds_create_files(void)
{
	struct qleds_file *file;
	unsigned int i;
	int ret;

	for (i = 0; i < chip->file_count; i++) {
		file = &chip->files[i];
		if (file->core)
			device_remove_file(file->dev, file->core);
		if (file->fault == QLEDS_MISSING)
			continue;
		/* Without store, as a read-only attribute is: even root cannot write it. */
		if (file->fault == QLEDS_READ_ONLY) {
			file->attr.attr.mode = 0444;
			file->attr.store = NULL;
		} else {
			file->attr.attr.mode = 0644;
		}
		ret = device_create_file(file->dev, &file->attr);
		if (ret) {
			dev_err(&chip->pdev->dev, "cannot create %s: %d\n", file->path, ret);
			return ret;
		}
		file->created = true;
	}
	return 0;
}

static void qleds_remove_files(void)
{
	struct qleds_file *file;

	while (chip->file_count > 0) {
		file = &chip->files[--chip->file_count];
		if (file->created)
			device_remove_file(file->dev, &file->attr);
		kfree(file->path);
	}
}

/* The lights */

/* Nothing to drive: the LED core already keeps the clamped brightness. */
static void qleds_brightness_set(struct led_classdev *cdev, enum led_brightness value)
{
}

static int qleds_add_light(const char *name)
{
	struct led_classdev *cdev;
	int ret;

	if (WARN_ON(chip->count >= QLEDS_MAX_LIGHTS))
		return -ENOSPC;
	cdev = &chip->lights[chip->count];
	cdev->name = name;
	cdev->max_brightness = QLEDS_MAX_BRIGHTNESS;
	cdev->brightness_set = qleds_brightness_set;

	ret = led_classdev_register(&chip->pdev->dev, cdev);
	if (ret) {
		dev_err(&chip->pdev->dev, "cannot register LED %s: %d\n", name, ret);
		return ret;
	}
	chip->count++;
	return 0;
}

static int qleds_add_lights(void)
{
	const struct qleds_profile *p = &chip->profile;
	int ret;

	ret = qleds_add_light("lcd-backlight");
	if (!ret)
		ret = qleds_add_light("keyboard-backlight");
	if (!ret)
		ret = qleds_add_light("button-backlight");
	if (!ret)
		ret = qleds_add_light("green");
	if (!ret && p->amber)
		ret = qleds_add_light("amber");
	if (!ret && !p->amber)
		ret = qleds_add_light("red");
	if (!ret && !p->amber)
		ret = qleds_add_light("blue");
	if (!ret && p->trackball)
		ret = qleds_add_light("jogball-backlight");
	return ret;
}

static void qleds_remove_lights(void)
{
	while (chip->count > 0)
		led_classdev_unregister(&chip->lights[--chip->count]);
}

static void qleds_teardown(void)
{
	debugfs_remove_recursive(chip->debugfs);
	qleds_remove_files();
	qleds_remove_lights();
	platform_device_unregister(chip->pdev);
	kfree(chip->journal);
	kfree(chip);
	chip = NULL;
}

static int __init qleds_init(void)
{
	int ret;

	chip = kzalloc(sizeof(*chip), GFP_KERNEL);
	if (!chip)
		return -ENOMEM;
	mutex_init(&chip->journal_lock);

	ret = qleds_parse_profile(profile, &chip->profile);
	if (ret) {
		pr_err("quorvel-leds: unknown board profile \"%s\"\n", profile);
		goto err_free;
	}
	chip->journal = kcalloc(QLEDS_JOURNAL_MAX, sizeof(*chip->journal), GFP_KERNEL);
	if (!chip->journal) {
		ret = -ENOMEM;
		goto err_free;
	}

	chip->pdev = platform_device_alloc("quorvel-leds", PLATFORM_DEVID_NONE);
	if (!chip->pdev) {
		ret = -ENOMEM;
		goto err_free;
	}
	ret = platform_device_add(chip->pdev);
	if (ret) {
		platform_device_put(chip->pdev);
		goto err_free;
	}

	ret = qleds_add_lights();
	if (!ret)
		ret = qleds_list_files();
	if (!ret)
		ret = qleds_parse_faults(faults);
	if (!ret)
		ret = qleds_create_files();
	if (ret) {
		qleds_teardown();
		return ret;
	}

	/* debugfs may be absent; the lights work without their journal. */
	chip->debugfs = debugfs_create_dir("quorvel-leds", NULL);
	debugfs_create_file("journal", 0400, chip->debugfs, NULL, &qleds_journal_fops);

	pr_info("quorvel-leds: board profile %s, %u lights%s%s\n", profile, chip->count,
		*faults ? ", faults " : "", faults);
	return 0;

err_free:
	kfree(chip->journal);
	kfree(chip);
	chip = NULL;
	return ret;
}

static void __exit qleds_exit(void)
{
	qleds_teardown();
}

module_init(qleds_init);
module_exit(qleds_exit);

MODULE_DESCRIPTION("Simulated board lights for the target test system");
MODULE_LICENSE("GPL");
