// Pictures of the page for the README and for a look by eye:
//   CHAT_SERVER_FAST=build/chat_server CHAT_WEB=build/chat_web node screenshots.mjs OUTPUT_DIR
// A short conversation between a page and a raw client, then the page in
// light and dark colours and at phone width.
import path from 'node:path';
import { RawClient, launchBrowser, loggedInPage, sjis, startGateway, startServer, stopAll, until } from './helpers.mjs';

const out = process.argv[2] || '.';
const server = await startServer();
const gateway = await startGateway(server.port);
const context = await launchBrowser();
try {
  const taro = await RawClient.connect(server.port);
  await taro.login('000160080', sjis('太郎'));
  const page = await loggedInPage(context, gateway.url, '花子', '#d04a02');
  const say = async (text) => {
    await page.fill('input[name=message]', text);
    await page.press('input[name=message]', 'Enter');
    await until(async () => (await page.$$eval('.record .text', (n) => n.map((e) => e.textContent))).includes(text));
  };
  taro.send('SEND ', sjis('こんにちは！ビルドは通りました。'), '\r\n');
  await say('ありがとう、太郎さん。レビューします');
  taro.send('SEND ', sjis('<b>太字</b> はそのまま文字として表示されます'), '\r\n');
  await say('markup stays text here, good');
  await page.fill('input[name=message]', '次のリリースは金曜日');
  await until(async () => (await page.$$eval('.record', (n) => n.length)) >= 5);
  for (const [name, scheme, width, height] of [['light', 'light', 900, 560], ['dark', 'dark', 900, 560], ['phone', 'light', 390, 740], ['phone-dark', 'dark', 390, 740]]) {
    await page.emulateMedia({ colorScheme: scheme });
    await page.setViewportSize({ width, height });
    await page.screenshot({ path: path.join(out, `${name}.png`) });
  }
} finally {
  await context.close();
  await stopAll();
}
