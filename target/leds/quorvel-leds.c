// SPDX-License-Identifier: GPL-2.0
/*
 * Simulated board lights for the target test system.
 *
 * Registers the LED class devices of one board profile, chosen with the
 * "profile" parameter ("rgb" or "amber", followed by any of "+trackball",
 * "+lcd-auto" and "+no-blink-timing"; the same names as the ledsim tool), and
 * the extra integer attributes the lights modules write:
 *
 *   red/device/{blink,grpfreq,grppwm}   on the LEDs' parent device (RGB boards;
 *                                       grpfreq and grppwm unless no-blink-timing)
 *   amber/blink, jogball-backlight/blink, lcd-backlight/auto
 *
 * There is no hardware behind the lights: the LED core keeps each brightness
 * (clamped to max_brightness) and every extra attribute keeps the integer last
 * written to it, parsed with kstrtoint() so that a malformed value is refused
 * exactly as the kernel refuses it elsewhere.
 */

#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/leds.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <linux/string.h>

#define QLEDS_MAX_BRIGHTNESS	255
#define QLEDS_MAX_LIGHTS	8

struct qleds_profile {
	bool amber;
	bool trackball;
	bool blink_timing;
	bool lcd_auto;
};

struct qleds_light {
	struct led_classdev cdev;
	int value;		/* "blink" or "auto", where the light has one */
};

struct qleds_chip {
	struct platform_device *pdev;
	struct qleds_profile profile;
	int blink;
	int grpfreq;
	int grppwm;
	unsigned int count;
	struct qleds_light lights[QLEDS_MAX_LIGHTS];
};

static char *profile = "rgb";
module_param(profile, charp, 0444);
MODULE_PARM_DESC(profile,
		 "board profile: rgb or amber, then any of +trackball, +lcd-auto, +no-blink-timing");

static struct qleds_chip *chip;

static int qleds_parse_profile(const char *text, struct qleds_profile *out)
{
	char *copy, *rest, *part;
	int ret = 0;

	copy = kstrdup(text, GFP_KERNEL);
	if (!copy)
		return -ENOMEM;
	rest = strim(copy);

	out->amber = false;
	out->trackball = false;
	out->blink_timing = true;
	out->lcd_auto = false;

	part = strsep(&rest, "+");
	if (!strcmp(part, "amber"))
		out->amber = true;
	else if (strcmp(part, "rgb"))
		ret = -EINVAL;

	while (!ret && (part = strsep(&rest, "+"))) {
		if (!strcmp(part, "trackball"))
			out->trackball = true;
		else if (!strcmp(part, "lcd-auto"))
			out->lcd_auto = true;
		else if (!strcmp(part, "no-blink-timing"))
			out->blink_timing = false;
		else
			ret = -EINVAL;
	}

	kfree(copy);
	return ret;
}

static int qleds_store_int(const char *buf, int *slot)
{
	int value;
	int ret;

	ret = kstrtoint(buf, 10, &value);
	if (ret)
		return ret;
	WRITE_ONCE(*slot, value);
	return 0;
}

/* Attributes of the LEDs' parent device: the indicator's group blink controls. */

static int *qleds_chip_slot(struct device_attribute *attr)
{
	if (!strcmp(attr->attr.name, "grpfreq"))
		return &chip->grpfreq;
	if (!strcmp(attr->attr.name, "grppwm"))
		return &chip->grppwm;
	return &chip->blink;
}

static ssize_t chip_int_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%d\n", READ_ONCE(*qleds_chip_slot(attr)));
}

static ssize_t chip_int_store(struct device *dev, struct device_attribute *attr,
			      const char *buf, size_t size)
{
	int ret = qleds_store_int(buf, qleds_chip_slot(attr));

	return ret ? ret : size;
}

static struct device_attribute chip_attr_blink =
	__ATTR(blink, 0644, chip_int_show, chip_int_store);
static struct device_attribute chip_attr_grpfreq =
	__ATTR(grpfreq, 0644, chip_int_show, chip_int_store);
static struct device_attribute chip_attr_grppwm =
	__ATTR(grppwm, 0644, chip_int_show, chip_int_store);

static struct attribute *chip_attrs[] = {
	&chip_attr_blink.attr,
	&chip_attr_grpfreq.attr,
	&chip_attr_grppwm.attr,
	NULL,
};

/*
 * The group exists before the parent device is added, so the profile decides
 * here which files it shows: none on an amber board, no timing without it.
 */
static umode_t chip_attr_visible(struct kobject *kobj, struct attribute *attr, int n)
{
	if (chip->profile.amber)
		return 0;
	if (attr != &chip_attr_blink.attr && !chip->profile.blink_timing)
		return 0;
	return attr->mode;
}

static const struct attribute_group chip_group = {
	.attrs = chip_attrs,
	.is_visible = chip_attr_visible,
};

static const struct attribute_group *chip_groups[] = {
	&chip_group,
	NULL,
};

/* Attributes of single lights: "blink" (amber, trackball) and "auto" (LCD). */

static ssize_t light_int_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	struct led_classdev *cdev = dev_get_drvdata(dev);
	struct qleds_light *light = container_of(cdev, struct qleds_light, cdev);

	return sysfs_emit(buf, "%d\n", READ_ONCE(light->value));
}

static ssize_t light_int_store(struct device *dev, struct device_attribute *attr,
			       const char *buf, size_t size)
{
	struct led_classdev *cdev = dev_get_drvdata(dev);
	struct qleds_light *light = container_of(cdev, struct qleds_light, cdev);
	int ret = qleds_store_int(buf, &light->value);

	return ret ? ret : size;
}

static struct device_attribute light_attr_blink =
	__ATTR(blink, 0644, light_int_show, light_int_store);
/* Spelled out: the kernel defines "auto" as a macro, which __ATTR() would expand. */
static struct device_attribute light_attr_auto = {
	.attr = { .name = "auto", .mode = 0644 },
	.show = light_int_show,
	.store = light_int_store,
};

static struct attribute *light_blink_attrs[] = { &light_attr_blink.attr, NULL };
static struct attribute *light_auto_attrs[] = { &light_attr_auto.attr, NULL };
ATTRIBUTE_GROUPS(light_blink);
ATTRIBUTE_GROUPS(light_auto);

/* Nothing to drive: the LED core already keeps the clamped brightness. */
static void qleds_brightness_set(struct led_classdev *cdev, enum led_brightness value)
{
}

static int qleds_add_light(const char *name, const struct attribute_group **groups)
{
	struct qleds_light *light;
	int ret;

	if (WARN_ON(chip->count >= QLEDS_MAX_LIGHTS))
		return -ENOSPC;
	light = &chip->lights[chip->count];
	light->cdev.name = name;
	light->cdev.max_brightness = QLEDS_MAX_BRIGHTNESS;
	light->cdev.brightness_set = qleds_brightness_set;
	light->cdev.groups = groups;

	ret = led_classdev_register(&chip->pdev->dev, &light->cdev);
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

	ret = qleds_add_light("lcd-backlight", p->lcd_auto ? light_auto_groups : NULL);
	if (!ret)
		ret = qleds_add_light("keyboard-backlight", NULL);
	if (!ret)
		ret = qleds_add_light("button-backlight", NULL);
	if (!ret)
		ret = qleds_add_light("green", NULL);
	if (!ret && p->amber)
		ret = qleds_add_light("amber", light_blink_groups);
	if (!ret && !p->amber)
		ret = qleds_add_light("red", NULL);
	if (!ret && !p->amber)
		ret = qleds_add_light("blue", NULL);
	if (!ret && p->trackball)
		ret = qleds_add_light("jogball-backlight", light_blink_groups);
	return ret;
}

static void qleds_remove_lights(void)
{
	while (chip->count > 0)
		led_classdev_unregister(&chip->lights[--chip->count].cdev);
}

static int __init qleds_init(void)
{
	int ret;

	chip = kzalloc(sizeof(*chip), GFP_KERNEL);
	if (!chip)
		return -ENOMEM;

	ret = qleds_parse_profile(profile, &chip->profile);
	if (ret) {
		pr_err("quorvel-leds: unknown board profile \"%s\"\n", profile);
		goto err_free;
	}

	chip->pdev = platform_device_alloc("quorvel-leds", PLATFORM_DEVID_NONE);
	if (!chip->pdev) {
		ret = -ENOMEM;
		goto err_free;
	}
	chip->pdev->dev.groups = chip_groups;
	ret = platform_device_add(chip->pdev);
	if (ret)
		goto err_put;

	ret = qleds_add_lights();
	if (ret)
		goto err_unregister;

	pr_info("quorvel-leds: board profile %s, %u lights\n", profile, chip->count);
	return 0;

err_unregister:
	qleds_remove_lights();
	platform_device_unregister(chip->pdev);
	goto err_free;
err_put:
	platform_device_put(chip->pdev);
err_free:
	kfree(chip);
	chip = NULL;
	return ret;
}

static void __exit qleds_exit(void)
{
	qleds_remove_lights();
	platform_device_unregister(chip->pdev);
	kfree(chip);
	chip = NULL;
}

module_init(qleds_init);
module_exit(qleds_exit);

MODULE_DESCRIPTION("Simulated board lights for the target test system");
MODULE_LICENSE("GPL");
