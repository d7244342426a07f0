// crc_beside.cpp - the CRCs of one file, beside the copy. See crc_beside.h.
#include "crc_beside.h"

#include "crc16.h"

namespace {

// The helper's stack: a fixed buffer, so the C library maps none per file.
// The CRC paths need a few kilobytes of it.
alignas(4096) unsigned char helper_stack[256 * 1024];

void feed(crc_beside *crc, const crc_span &span)
{
	switch (span.kind) {
	case SPAN_KEEP: {
		std::uint64_t fed = 0;
		crc->output = crc16_update(crc->output, span.data, span.length, &fed);
		if (crc->input_open && crc->difference != 0)
			crc->difference = crc16_extend_by_zeros(crc->difference, fed);
		break;
	}
	case SPAN_DROP:
		if (crc->input_open) {
			std::uint16_t input = crc->output ^ crc->difference;
			input = crc16_update(input, span.data, span.length);
			crc->difference = input ^ crc->output;
		}
		break;
	case SPAN_INSERT: {
		std::uint16_t input = crc->output ^ crc->difference;
		crc->output = crc16_update(crc->output, span.data, span.length);
		crc->difference = input ^ crc->output;
		break;
	}
	case SPAN_CLOSE_INPUT:
		if (crc->input_open)
			crc->input = crc->output ^ crc->difference;
		crc->input_open = false;
		break;
	}
}

void helper_body(void *argument)
{
	crc_beside *crc = static_cast<crc_beside *>(argument);
	worker_lock(&crc->helper);
	for (;;) {
		while (crc->done == crc->submitted && !crc->stopping)
			worker_wait(&crc->helper);
		if (crc->done == crc->submitted)
			break;
		crc_span span = crc->queue[crc->done % crc_queue_size];
		worker_unlock(&crc->helper);
		feed(crc, span);
		worker_lock(&crc->helper);
		++crc->done;
		worker_wake(&crc->helper);
	}
	worker_unlock(&crc->helper);
}

} // namespace

void crc_beside_begin(crc_beside *crc, bool helper_allowed)
{
	// The path is chosen here, on this thread, before a helper feeds.
	(void)crc16_best_path();
	*crc = crc_beside{};
	crc->output = crc16_preset;
	crc->input_open = true;
	crc->input = crc16_preset;
	crc->helper_allowed = helper_allowed;
	worker_init(&crc->helper, helper_stack, sizeof helper_stack);
}

void crc_beside_add(crc_beside *crc, crc_span_kind kind, const unsigned char *data,
                    std::size_t length)
{
	crc_span span = {kind, data, length};
	if (!crc->helper_running) {
		feed(crc, span);
		return;
	}
	worker_lock(&crc->helper);
	while (crc->submitted - crc->done == crc_queue_size)
		worker_wait(&crc->helper);
	crc->queue[crc->submitted % crc_queue_size] = span;
	++crc->submitted;
	worker_wake(&crc->helper);
	worker_unlock(&crc->helper);
}

void crc_beside_next_block(crc_beside *crc)
{
	// The helper starts with the second block: a file that fits in one
	// costs no thread.
	if (!crc->helper_running) {
		if (crc->helper_allowed && ++crc->blocks == 2) {
			crc->helper_running = worker_start(&crc->helper, helper_body, crc);
			crc->helper_allowed = crc->helper_running;
		}
		return;
	}
	worker_lock(&crc->helper);
	while (crc->done < crc->boundary)
		worker_wait(&crc->helper);
	crc->boundary = crc->submitted;
	worker_unlock(&crc->helper);
}

void crc_beside_end(crc_beside *crc, std::uint16_t *output, std::uint16_t *input)
{
	if (crc->helper_running) {
		worker_lock(&crc->helper);
		crc->stopping = true;
		worker_wake(&crc->helper);
		worker_unlock(&crc->helper);
		worker_join(&crc->helper);
		crc->helper_running = false;
		crc->helper_allowed = false;
	}
	if (output != nullptr)
		*output = crc->output;
	if (input != nullptr)
		*input = crc->input_open ? crc->output ^ crc->difference : crc->input;
}
