// The live page: asks this server (and nothing else) for the readings every
// two seconds and for the points of the last hour, and draws them. Text from
// the server only ever goes in as text, never as markup.
'use strict';

(() => {
    const ITEMS = [
        ['product_id', 'product ID', ''],
        ['code_revision', 'code revision level', ''],
        ['pulse_value', 'pulse value', 'watt-hours'],
        ['full_scale', 'full scale', 'kilowatts'],
        ['output_mode', 'output mode', ''],
        ['average_interval', 'average interval', 'minutes'],
        ['dac_value', 'most recent DAC value', ''],
        ['kwh_value', 'most recent kWh value', 'kilowatt-hours'],
    ];
    const STATUS = {
        starting: 'starting',
        up: 'up',
        no_reply: 'down: no reply',
        port_lost: 'down: port lost',
        port_held: 'down: port held by another program',
    };
    const POLL_MS = 2000;
    const SPAN_MS = 3600 * 1000;
    // History is asked for again from a little before the last answer, as a
    // meter's poll may end after another's later one began.
    const OVERLAP_MS = 60 * 1000;
    const SVG = 'http://www.w3.org/2000/svg';
    const W = 600;
    const H = 180;
    const PAD = {left: 34, right: 44, top: 8, bottom: 18};

    const meters = new Map(); // name -> {card parts, points}
    let historySince = 0;
    let serverNow = 0;

    document.addEventListener('securitypolicyviolation', () => {
        const n = Number(document.body.dataset.cspViolations || 0);
        document.body.dataset.cspViolations = String(n + 1);
    });

    function element(tag, className, text) {
        const e = document.createElement(tag);
        if (className) {
            e.className = className;
        }
        if (text !== undefined) {
            e.textContent = text;
        }
        return e;
    }

    function svgElement(tag, attributes) {
        const e = document.createElementNS(SVG, tag);
        for (const [key, value] of Object.entries(attributes)) {
            e.setAttribute(key, String(value));
        }
        return e;
    }

    function makeCard(name) {
        const card = element('section', 'meter');
        card.dataset.meter = name;
        card.dataset.up = '0';
        card.append(element('h2', '', name));
        const status = element('span', 'status', 'starting');
        card.append(status);
        const when = element('p', 'when', '');
        card.append(when);

        const table = element('table');
        const cells = {};
        for (const [key, label] of ITEMS) {
            const row = element('tr');
            row.append(element('td', 'key', label));
            const cell = element('td', 'value', '—');
            cell.dataset.key = key;
            row.append(cell);
            table.append(row);
            cells[key] = cell;
        }
        card.append(table);

        const bar = element('div', 'bar');
        bar.setAttribute('role', 'meter');
        bar.setAttribute('aria-label', 'DAC value');
        bar.setAttribute('aria-valuemin', '0');
        bar.setAttribute('aria-valuemax', '255');
        const fill = element('div', 'fill');
        bar.append(fill);
        card.append(bar);
        const barLabel = element('div', 'bar-label', 'DAC value, 0 to 255');
        card.append(barLabel);

        const chart = svgElement('svg', {class: 'chart', viewBox: `0 0 ${W} ${H}`, role: 'img'});
        chart.setAttribute('aria-label', 'DAC and kWh values over the last hour');
        chart.dataset.points = '0';
        chart.append(svgElement('rect', {
            class: 'frame', x: PAD.left, y: PAD.top,
            width: W - PAD.left - PAD.right, height: H - PAD.top - PAD.bottom,
        }));
        const dacPath = svgElement('path', {class: 'dac', d: ''});
        const kwhPath = svgElement('path', {class: 'kwh', d: ''});
        chart.append(dacPath, kwhPath);
        const label = (x, y, anchor, cls, text) => {
            const t = svgElement('text', {x, y, 'text-anchor': anchor, class: cls});
            t.textContent = text;
            chart.append(t);
            return t;
        };
        label(PAD.left - 4, PAD.top + 8, 'end', 'dac-label', '255');
        label(PAD.left - 4, H - PAD.bottom, 'end', 'dac-label', '0');
        const kwhTop = label(W - PAD.right + 4, PAD.top + 8, 'start', 'kwh-label', '');
        const kwhBottom = label(W - PAD.right + 4, H - PAD.bottom, 'start', 'kwh-label', '');
        label(PAD.left, H - 4, 'start', '', '1 hour ago');
        label(W - PAD.right, H - 4, 'end', '', 'now');
        label(W / 2, H - 4, 'middle', 'dac-label', 'DAC value');
        label(W / 2 + 60, H - 4, 'start', 'kwh-label', 'kWh');
        card.append(chart);

        document.getElementById('meters').append(card);
        return {card, status, when, cells, fill, bar, chart, dacPath, kwhPath, kwhTop, kwhBottom,
            points: []};
    }

    function meter(name) {
        if (!meters.has(name)) {
            meters.set(name, makeCard(name));
        }
        return meters.get(name);
    }

    function timeText(iso) {
        if (!iso) {
            return 'never';
        }
        const t = new Date(iso);
        return t.toLocaleTimeString();
    }

    function show(reading) {
        const m = meter(reading.meter);
        const up = reading.status === 'up';
        m.card.dataset.up = up ? '1' : '0';
        m.card.dataset.status = reading.status;
        let status = STATUS[reading.status] || reading.status;
        if (!up && reading.cause) {
            status += ` (${reading.cause})`;
        }
        m.status.textContent = status;
        m.when.textContent = `polled ${timeText(reading.time)}, last good reading ` +
            `${timeText(reading.last_good)}; ${reading.reads} polls, ` +
            `${reading.read_errors} without a good reply, ${reading.reconnects} reconnects` +
            (reading.device ? `; on ${reading.device}` : '');
        for (const [key, , unit] of ITEMS) {
            const value = up ? reading[key] : null;
            m.cells[key].textContent = value === null || value === undefined ? '—' :
                unit ? `${value} ${unit}` : String(value);
        }
        const dac = up ? reading.dac_value : null;
        const share = typeof dac === 'number' ? Math.max(0, Math.min(255, dac)) / 255 : 0;
        m.fill.style.width = `${(share * 100).toFixed(1)}%`;
        if (typeof dac === 'number') {
            m.bar.setAttribute('aria-valuenow', String(dac));
        } else {
            m.bar.removeAttribute('aria-valuenow');
        }
    }

    // A path through the good points, broken where a poll failed.
    function path(points, index, low, high, x) {
        const y = (v) => PAD.top + (H - PAD.top - PAD.bottom) * (1 - (v - low) / (high - low));
        let d = '';
        let pen = false;
        for (const p of points) {
            if (p[index] === null) {
                pen = false;
                continue;
            }
            d += `${pen ? 'L' : 'M'}${x(p[0]).toFixed(1)},${y(p[index]).toFixed(1)}`;
            pen = true;
        }
        return d;
    }

    function draw(m) {
        const start = serverNow - SPAN_MS;
        m.points = m.points.filter((p) => p[0] >= start);
        const x = (ms) => PAD.left + (W - PAD.left - PAD.right) * (ms - start) / SPAN_MS;
        const good = m.points.filter((p) => p[1] !== null);
        let low = Infinity;
        let high = -Infinity;
        for (const p of good) {
            low = Math.min(low, p[2]);
            high = Math.max(high, p[2]);
        }
        if (!good.length) {
            low = 0;
            high = 1;
        } else if (low === high) {
            low -= 1;
            high += 1;
        }
        m.dacPath.setAttribute('d', path(m.points, 1, 0, 255, x));
        m.kwhPath.setAttribute('d', path(m.points, 2, low, high, x));
        m.kwhTop.textContent = good.length ? String(high) : '';
        m.kwhBottom.textContent = good.length ? String(low) : '';
        m.chart.dataset.points = String(good.length);
    }

    function merge(history) {
        serverNow = history.now;
        for (const part of history.meters) {
            const m = meter(part.meter);
            const last = m.points.length ? m.points[m.points.length - 1][0] : -Infinity;
            for (const p of part.points) {
                if (p[0] > last) {
                    m.points.push(p);
                }
            }
        }
        historySince = Math.max(0, history.now - OVERLAP_MS);
    }

    async function getJson(url) {
        const response = await fetch(url, {cache: 'no-store'});
        if (!response.ok) {
            throw new Error(`${url}: ${response.status}`);
        }
        return response.json();
    }

    async function poll() {
        const state = document.getElementById('state');
        try {
            const readings = await getJson('/api/readings');
            const history = await getJson(`/api/history?since=${historySince}`);
            for (const reading of readings.meters) {
                show(reading);
            }
            merge(history);
            for (const m of meters.values()) {
                draw(m);
            }
            const up = readings.meters.filter((r) => r.status === 'up').length;
            state.dataset.state = 'live';
            state.textContent = `${up} of ${readings.meters.length} meters up, ` +
                `as of ${timeText(readings.now)}`;
        } catch (error) {
            state.dataset.state = 'lost';
            state.textContent = 'The server does not answer.';
            // Nothing is shown as current that the server no longer says.
            for (const m of meters.values()) {
                show({meter: m.card.dataset.meter, status: 'unknown',
                    cause: 'the server does not answer', reads: '?', read_errors: '?',
                    reconnects: '?'});
            }
        } finally {
            setTimeout(poll, POLL_MS);
        }
    }

    poll();
})();
