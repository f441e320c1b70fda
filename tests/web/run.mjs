// Runs the browser tests with the page's text checks. Without
// playwright-core or chromium only the text checks run and the rest is
// skipped (exit 77), unless CHAT_REQUIRE_BROWSER=1 makes that a failure.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromium = process.env.CHAT_CHROMIUM || '/usr/bin/chromium';
const missing = [];
if (!fs.existsSync(path.join(here, 'node_modules', 'playwright-core'))) missing.push('node_modules (npm ci in tests/web)');
if (!fs.existsSync(chromium)) missing.push(chromium);
const files = ['texts.test.mjs', ...(missing.length ? [] : ['chat_web.test.mjs'])];
const r = spawnSync(process.execPath, ['--test', '--test-concurrency=1', ...files.map((f) => path.join(here, f))],
  { stdio: 'inherit', cwd: here });
if (r.status !== 0 || !missing.length) process.exit(r.status ?? 1);
const required = process.env.CHAT_REQUIRE_BROWSER === '1';
console.log(`${required ? 'FAIL' : 'skipped'}: missing ${missing.join(', ')}`);
process.exit(required ? 1 : 77);
