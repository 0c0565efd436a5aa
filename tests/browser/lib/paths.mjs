// Where things are: the repository, the executable under test, the browser.
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

export const REPO = path.resolve(here, '..', '..', '..');
export const EXE = path.resolve(REPO, process.env.TARVIK_EXE || 'build/linux/plugin_tarvik');
export const CHROMIUM = process.env.TARVIK_CHROMIUM || '/usr/bin/chromium';
export const OUT = path.join(REPO, 'tests', 'browser', 'out');
export const DOCS = path.join(REPO, 'docs');
